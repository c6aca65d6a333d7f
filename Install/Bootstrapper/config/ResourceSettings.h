// The product's settings, stored in the executable as resources of type 40: one line of UTF-16
// text each, named in upper case (DATABASE, PRODUCTNAME, ...).
#pragma once

#include <memory>

#include "config/SettingRules.h"
#include "sys/Win32.h"

// A setting's text: a heap array owned by the run, null until the setting is read.
using SettingBuffer = std::unique_ptr<wchar_t[]>;

// One attempt to copy setting `name` into `buffer` of `capacity` characters. Returns 0 when
// copied, ERROR_MORE_DATA with `capacity` set to the size needed, ERROR_RESOURCE_NAME_NOT_FOUND
// when there is no such setting, ERROR_FUNCTION_FAILED when the copy does not fit.
DWORD ReadResourceSetting(HMODULE module, const wchar_t* name, wchar_t* buffer, DWORD& capacity);

// Reads setting `name` into `buffer`, growing it once when the first attempt is too small.
// Returns 0, ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_FUNCTION_FAILED, or ERROR_OUTOFMEMORY (14)
// when no buffer could be had. On anything but 0 the content is undefined.
DWORD LoadResourceSetting(HMODULE module, const wchar_t* name, SettingBuffer& buffer);

#include "config/ResourceSettings.h"

#include <new>

#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"

DWORD ReadResourceSetting(HMODULE module, const wchar_t* name, wchar_t* buffer, DWORD& capacity) {
  HRSRC entry = FindResourceW(module, name, MAKEINTRESOURCEW(RT_SETTING));
  HGLOBAL loaded = entry != nullptr ? LoadResource(module, entry) : nullptr;
  if (loaded == nullptr) {
    LogString(L"[Resource] lpName = %s NOT FOUND\n", name);
    return ERROR_RESOURCE_NAME_NOT_FOUND;
  }

  // Resources live in the mapped image and are never freed: nothing to release here.
  const auto* text = static_cast<const wchar_t*>(LockResource(loaded));
  if (text == nullptr) {
    const DWORD previous = capacity;
    capacity = 1;
    if (previous == 0) {
      return ERROR_MORE_DATA;
    }
    buffer[0] = L'\0';
    LogString(L"[Resource] lpName = %s, lpBuf = %s\n", name, buffer);
    return ERROR_SUCCESS;
  }

  // The capacity needed is the text's length in the ANSI code page, terminator included. That
  // is at least the UTF-16 length plus one except for surrogate pairs, which the code page turns
  // into one character each; the larger of the two is taken so that such a text is read whole.
  // The measure stays within the resource: data without its terminator ends with the resource.
  const DWORD bytes = SizeofResource(module, entry);
  const int units = static_cast<int>(bytes / sizeof(wchar_t));
  int length = 0;
  while (length < units && text[length] != L'\0') {
    ++length;
  }
  const int ansiLength = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  const int needed = (ansiLength > length ? ansiLength : length) + 1;
  if (static_cast<DWORD>(needed) > capacity) {
    capacity = static_cast<DWORD>(needed);
    return ERROR_MORE_DATA;
  }

  // Copy with truncation to the capacity, terminator included.
  if (static_cast<DWORD>(length) >= capacity) {
    if (capacity > 0) {
      lstrcpynW(buffer, text, static_cast<int>(capacity));
    }
    return ERROR_FUNCTION_FAILED;
  }
  for (int i = 0; i < length; ++i) {
    buffer[i] = text[i];
  }
  buffer[length] = L'\0';
  LogString(L"[Resource] lpName = %s, lpBuf = %s\n", name, buffer);
  return ERROR_SUCCESS;
}

DWORD LoadResourceSetting(HMODULE module, const wchar_t* name, SettingBuffer& buffer) {
  constexpr DWORD kFirstCapacity = 256;
  DWORD capacity = 0;
  if (!buffer) {
    buffer.reset(new (std::nothrow) wchar_t[kFirstCapacity]);
    if (!buffer) {
      return ERROR_OUTOFMEMORY;
    }
    capacity = kFirstCapacity;
  }
  const DWORD first = ReadResourceSetting(module, name, buffer.get(), capacity);
  if (first != ERROR_MORE_DATA) {
    return first;
  }
  // One more attempt with exactly the size the first one reported.
  buffer.reset(new (std::nothrow) wchar_t[capacity]);
  if (!buffer) {
    return ERROR_OUTOFMEMORY;
  }
  return ReadResourceSetting(module, name, buffer.get(), capacity);
}

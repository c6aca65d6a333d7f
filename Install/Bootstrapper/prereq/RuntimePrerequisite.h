// The Visual C++ 2008 SP1 runtime: found through its uninstall entry in the registry, and when
// missing installed silently from the redistributable that travels as payload 90.
#pragma once

#include <string>

#include "sys/Win32.h"
#include "ui/ProgressDialog.h"

// 0 when the runtime is present or was installed; 3010 or 3011 when installed but a restart is
// needed (a non-quiet user has been told); otherwise the failure, already reported.
DWORD InstallRuntimePrerequisite(const wchar_t* caption, ProgressDialog& dialog,
                                 const wchar_t* tempFolder, bool quiet);

// True when `valueName` under HKEY_LOCAL_MACHINE\`key` holds a non-empty text.
bool IsRuntimeInstalled(const wchar_t* key, const wchar_t* valueName, const wchar_t* version);

// A string value under HKEY_LOCAL_MACHINE in the registry view `view` (by default the 32-bit one,
// where the 32-bit runtime and 32-bit packages register, which a 32-bit program reads without
// asking); empty when the key or value is missing or is not a string.
std::wstring getRegistryValue(const std::wstring& key, const std::wstring& valueName,
                              REGSAM view = KEY_WOW64_32KEY);

#include "prereq/RuntimePrerequisite.h"

#include <iterator>

#include "sys/BootstrapLog.h"

// Placeholder until the runtime step exists: the runtime counts as present.
DWORD InstallRuntimePrerequisite(const wchar_t*, ProgressDialog&, const wchar_t*, bool) {
  return ERROR_SUCCESS;
}

bool IsRuntimeInstalled(const wchar_t*, const wchar_t*, const wchar_t*) {
  return true;
}

std::wstring getRegistryValue(const std::wstring& key, const std::wstring& valueName) {
  // No view flag: a 32-bit program reads the 32-bit view on 64-bit Windows, where 32-bit
  // products register.
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    LogString(L"[Info] getRegistryValue exception, unable to open key,name: %s,%s\n", key.c_str(),
              valueName.c_str());
    return {};
  }
  constexpr DWORD kBufferBytes = 1024;
  wchar_t buffer[kBufferBytes / sizeof(wchar_t)] = {};
  DWORD type = 0;
  DWORD size = kBufferBytes;
  const LONG result = RegQueryValueExW(opened, valueName.c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(opened);
  if (result == ERROR_MORE_DATA) {
    LogString(L"[Info] getRegistryValue exception, insufficient buffer\n");
    return {};
  }
  if (result != ERROR_SUCCESS) {
    LogString(L"[Info] getRegistryValue exception, unable to recover value\n");
    return {};
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    return {};
  }
  // The text up to its first NUL; a value stored without one ends with the data.
  const std::size_t units = size / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < units && length < std::size(buffer) && buffer[length] != L'\0') {
    ++length;
  }
  return std::wstring(buffer, length);
}

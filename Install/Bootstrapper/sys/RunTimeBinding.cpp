#include "sys/RunTimeBinding.h"

#include <string>

#include "sys/LaterSystemFunctions.h"

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
  wchar_t systemFolder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return nullptr;
  }
  std::wstring path(systemFolder, length);
  if (path.back() != L'\\') {
    path.push_back(L'\\');
  }
  path += fileName;
  // A full path makes the loader take this file and no other; the altered search path makes the
  // library's own dependencies come from its folder, the system folder, too.
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictLibrarySearchToSystemFolder() {
  // Not declared for Windows XP: both are looked up in kernel32, which is always loaded.
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  SetDefaultDllDirectoriesFunction setDefaultDirectories = nullptr;
  if (BindProc(kernel32, "SetDefaultDllDirectories", setDefaultDirectories)) {
    setDefaultDirectories(kSearchSystem32);
  }
  SetDllDirectoryFunction setDllDirectory = nullptr;
  if (BindProc(kernel32, "SetDllDirectoryW", setDllDirectory)) {
    setDllDirectory(L"");
  }
}

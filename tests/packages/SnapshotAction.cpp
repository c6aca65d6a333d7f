// A Windows Installer custom action that copies the folder of the package being installed, as it
// stands while the package installs, into the folder named by the environment variable
// VESK_SNAPSHOT (nothing when it is not set), so a test can see what the bootstrapper had
// prepared beside the package by then. The variable reaches the installer because it inherits
// the environment of the program under test.
#include <windows.h>
// msi.h builds on the types that windows.h declares.
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

void CopyTree(const std::wstring& from, const std::wstring& to) {
  CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((from + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CopyTree(from + name + L"\\", to + name + L"\\");
    } else {
      // Files the installer holds open (its own log) may not copy; they are not looked at.
      CopyFileW((from + name).c_str(), (to + name).c_str(), FALSE);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall SnapshotTemp(MSIHANDLE install) {
  wchar_t target[MAX_PATH] = {};
  wchar_t package[MAX_PATH] = {};
  DWORD packageLength = MAX_PATH;
  const DWORD length = GetEnvironmentVariableW(L"VESK_SNAPSHOT", target, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      MsiGetPropertyW(install, L"OriginalDatabase", package, &packageLength) != ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  std::wstring from = package;
  from.resize(from.rfind(L'\\') + 1);
  std::wstring to = target;
  if (to.back() != L'\\') {
    to.push_back(L'\\');
  }
  CopyTree(from, to);
  return ERROR_SUCCESS;
}

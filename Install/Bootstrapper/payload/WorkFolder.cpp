#include "payload/WorkFolder.h"
// After the one include of <windows.h>, which it needs.
#include <sddl.h>

#include "config/TextUtil.h"
#include "payload/CheckedFolder.h"
#include "sys/RunTimeBinding.h"

namespace {

constexpr wchar_t kTempSubfolder[] = L"Temp\\";
constexpr wchar_t kNamePrefix[] = L"Setup";
// Random bytes in the name: guessing it is hopeless, so nobody can take it first.
constexpr unsigned kRandomBytes = 8;
// A name that exists already is given up for another; more than a few in a row means that
// something other than chance is at work.
constexpr int kNameAttempts = 16;
// Full control for SYSTEM and Administrators, for the folder and what is created in it;
// protected, so that nothing is inherited from the parent, where every user may create folders.
// The elevated process's default owner is Administrators already.
constexpr wchar_t kAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Memory that the system allocated for the caller with LocalAlloc.
using LocalMemory = SystemOwned<PSECURITY_DESCRIPTOR, &LocalFree>;

// Why the folder could not be had, for a debugger; the user sees the folder in a message.
void Diagnose(const wchar_t* what, DWORD error) {
  const std::wstring line =
      std::wstring(L"[WorkFolder] ") + what + L": " + text::Decimal(error) + L"\n";
  OutputDebugStringW(line.c_str());
}

// Deletes `folder` (ending in a backslash) and everything in it. A reparse point inside is
// removed itself, never followed; what cannot be deleted stays.
void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") {
        continue;
      }
      const std::wstring path = folder + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
      }
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryW(path.c_str());
      } else {
        RemoveTree(path + L"\\");
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

bool WindowsTempFolder(std::wstring& folder) {
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return false;
  }
  folder.assign(windows, length);
  if (folder.back() != L'\\') {
    folder.push_back(L'\\');
  }
  folder += kTempSubfolder;
  return true;
}

DWORD WorkFolder::Create() {
  Remove();
  path_.clear();
  std::wstring parent;
  if (!WindowsTempFolder(parent)) {
    return LastErrorOr(ERROR_PATH_NOT_FOUND);
  }
  LocalMemory descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAccess, SDDL_REVISION_1,
                                                            descriptor.put(), nullptr)) {
    const DWORD error = LastErrorOr(ERROR_INVALID_SECURITY_DESCR);
    Diagnose(L"access list", error);
    return error;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};

  // A new folder, never one that is there already: whatever stands under a name (a folder of
  // someone else's, a link) makes the creation fail, and another name is tried.
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < kNameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
    std::wstring name;
    if (!RandomName(kNamePrefix, kRandomBytes, name)) {
      Diagnose(L"no random name", ERROR_PROC_NOT_FOUND);
      return ERROR_PROC_NOT_FOUND;
    }
    path_ = parent + name + L"\\";
    error = CreateDirectoryW(path_.c_str(), &attributes) ? ERROR_SUCCESS
                                                         : LastErrorOr(ERROR_CANNOT_MAKE);
  }
  if (error != ERROR_SUCCESS) {
    Diagnose(L"creation", error);
    return error;
  }

  // Opened on the folder itself, never through a link, checked, and held without delete sharing.
  error = OpenRealFolder(path_, handle_);
  if (error != ERROR_SUCCESS) {
    Diagnose(L"check", error);
    // The empty folder this run made, wherever the path led it.
    RemoveDirectoryW(path_.c_str());
    return error;
  }
  return ERROR_SUCCESS;
}

void WorkFolder::Remove() {
  if (!created()) {
    return;
  }
  // The hold goes first: it keeps the folder itself from being deleted.
  handle_.reset();
  RemoveTree(path_);
  path_.clear();
}

#include "payload/WorkFolder.h"
// After the one include of <windows.h>, which it needs.
#include <sddl.h>

#include "config/TextUtil.h"
#include "sys/LaterSystemFunctions.h"
#include "sys/RunTimeBinding.h"

namespace {

constexpr wchar_t kTempSubfolder[] = L"Temp\\";
constexpr wchar_t kNamePrefix[] = L"Setup";
// Random bytes in the name: guessing it is hopeless, so nobody can take it first.
constexpr ULONG kRandomBytes = 8;
// A name that exists already is given up for another; more than a few in a row means that
// something other than chance is at work.
constexpr int kNameAttempts = 16;
// Full control for SYSTEM and Administrators, for the folder and what is created in it;
// protected, so that nothing is inherited from the parent, where every user may create folders.
// The elevated process's default owner is Administrators already.
constexpr wchar_t kAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";

constexpr DWORD kNormalizedDosName = 0;  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS

// Memory that the system allocated for the caller with LocalAlloc.
using LocalMemory = SystemOwned<PSECURITY_DESCRIPTOR, &LocalFree>;

// Why the folder could not be had, for a debugger; the user sees the folder in a message.
void Diagnose(const wchar_t* what, DWORD error) {
  const std::wstring line =
      std::wstring(L"[WorkFolder] ") + what + L": " + text::Decimal(error) + L"\n";
  OutputDebugStringW(line.c_str());
}

// The Temp folder of the Windows folder shared by all users (not a user's own Windows folder
// under Terminal Services), ending in a backslash. Only administrators can change the folders
// above the run's folder there.
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

// A name nobody can know beforehand. Without the system's random source there is none.
bool RandomName(std::wstring& name) {
  // RtlGenRandom, exported by advapi32 under this name.
  GenerateRandomFunction random = nullptr;
  unsigned char bytes[kRandomBytes];
  if (!BindProc(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036", random) ||
      !random(bytes, kRandomBytes)) {
    return false;
  }
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  name = kNamePrefix;
  for (const unsigned char byte : bytes) {
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 0x0F]);
  }
  return true;
}

// Every folder from the drive's root down to `folder` (which ends in a backslash) is a real
// folder: none is a reparse point (a junction, a mount point, a symbolic link) through which the
// path would lead somewhere else. The names are given without a trailing backslash, which would
// make the system look through a link rather than at it.
DWORD CheckNoReparsePoint(const std::wstring& folder) {
  if (folder.size() < 3 || folder[1] != L':' || folder[2] != L'\\') {
    return ERROR_BAD_PATHNAME;
  }
  for (std::size_t cut = 2; cut != std::wstring::npos; cut = folder.find(L'\\', cut + 1)) {
    const std::wstring step = cut == 2 ? folder.substr(0, 3) : folder.substr(0, cut);
    const DWORD attributes = GetFileAttributesW(step.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return LastErrorOr(ERROR_PATH_NOT_FOUND);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return ERROR_DIRECTORY;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return ERROR_BAD_PATHNAME;
    }
  }
  return ERROR_SUCCESS;
}

// The folder the handle was opened on is a folder, and not a reparse point itself.
DWORD CheckHandle(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(folder, &information)) {
    return LastErrorOr(ERROR_INVALID_HANDLE);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_DIRECTORY;
  }
  return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ERROR_BAD_PATHNAME
                                                                            : ERROR_SUCCESS;
}

// Where the handle really leads is where the run meant: `folder` (ending in a backslash), letters
// compared without regard to case as the file system compares them.
DWORD CheckFinalPath(HANDLE handle, const std::wstring& folder) {
  // Windows Vista and later; XP lacks them.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  GetFinalPathNameByHandleFunction finalPath = nullptr;
  CompareStringOrdinalFunction compare = nullptr;
  if (!BindProc(kernel32, "GetFinalPathNameByHandleW", finalPath) ||
      !BindProc(kernel32, "CompareStringOrdinal", compare)) {
    // Windows XP cannot tell where a handle leads. There the checks of every folder on the path,
    // below folders that only administrators can change, stand alone.
    return ERROR_SUCCESS;
  }
  wchar_t buffer[MAX_PATH + 8];
  const DWORD length = finalPath(handle, buffer, MAX_PATH + 8, kNormalizedDosName);
  if (length == 0 || length >= MAX_PATH + 8) {
    return LastErrorOr(ERROR_BAD_PATHNAME);
  }
  std::wstring found(buffer, length);
  if (found.compare(0, 4, kExtendedPrefix) == 0) {
    found.erase(0, 4);
  }
  const std::wstring expected = folder.substr(0, folder.size() - 1);
  return compare(found.c_str(), static_cast<int>(found.size()), expected.c_str(),
                 static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL
             ? ERROR_SUCCESS
             : ERROR_BAD_PATHNAME;
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
    if (!RandomName(name)) {
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

  // Opened on the folder itself, never through a link; held without delete sharing.
  HANDLE folder = CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    error = LastErrorOr(ERROR_INVALID_HANDLE);
  } else {
    error = CheckHandle(folder);
    if (error == ERROR_SUCCESS) {
      error = CheckNoReparsePoint(path_);
    }
    if (error == ERROR_SUCCESS) {
      error = CheckFinalPath(folder, path_);
    }
  }
  if (error != ERROR_SUCCESS) {
    Diagnose(L"check", error);
    if (folder != INVALID_HANDLE_VALUE) {
      CloseHandle(folder);
    }
    // The empty folder this run made, wherever the path led it.
    RemoveDirectoryW(path_.c_str());
    return error;
  }
  handle_ = folder;
  return ERROR_SUCCESS;
}

void WorkFolder::Remove() {
  if (!created()) {
    return;
  }
  // The hold goes first: it keeps the folder itself from being deleted.
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  RemoveTree(path_);
  path_.clear();
}

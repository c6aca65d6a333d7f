#include "payload/CheckedFolder.h"
// After the one include of <windows.h>: the native calls that take a name relative to a folder's
// handle.
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <vector>

#include "sys/LaterSystemFunctions.h"
#include "sys/RunTimeBinding.h"

namespace {

constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kUncPrefix[] = L"\\\\";
constexpr DWORD kNormalizedDosName = 0;  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
// A temporary name that exists already is given up for another; more than a few in a row means
// that something other than chance is at work.
constexpr int kNameAttempts = 16;
constexpr unsigned kTemporaryNameBytes = 8;
constexpr wchar_t kTemporaryNamePrefix[] = L"~setup";
// Copied in pieces of this size, on the stack.
constexpr DWORD kCopyChunkBytes = 16 * 1024;

// The native calls behind every name relative to a folder's handle; ntdll has had them since
// Windows NT 4.
struct NativeCalls {
  decltype(&::NtCreateFile) createFile = nullptr;
  decltype(&::NtSetInformationFile) setInformation = nullptr;
  decltype(&::RtlNtStatusToDosError) toDosError = nullptr;

  NativeCalls() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!BindProc(ntdll, "NtCreateFile", createFile) ||
        !BindProc(ntdll, "NtSetInformationFile", setInformation) ||
        !BindProc(ntdll, "RtlNtStatusToDosError", toDosError)) {
      createFile = nullptr;
    }
  }
  bool bound() const { return createFile != nullptr; }
  DWORD Result(NTSTATUS status) const { return NT_SUCCESS(status) ? 0 : toDosError(status); }
};

const NativeCalls& Native() {
  static const NativeCalls calls;
  return calls;
}

// Where a walk from the root starts: the length of "X:\" or of "\\server\share\"; 0 for a path
// of neither form.
std::size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    return 3;
  }
  if (path.compare(0, 2, kUncPrefix) == 0) {
    const std::size_t server = path.find(L'\\', 2);
    const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? 0 : share + 1;
  }
  return 0;
}

// Every folder from the root down to `folder` (which ends in a backslash) is a real folder: none
// is a reparse point (a junction, a mount point, a symbolic link) through which the path would
// lead somewhere else. With `create`, a missing one is made inside its parent, which has just
// been checked. The names are given without a trailing backslash, which would make the system
// look through a link rather than at it.
DWORD WalkFolders(const std::wstring& folder, bool create) {
  const std::size_t root = RootLength(folder);
  if (root == 0) {
    return ERROR_BAD_PATHNAME;
  }
  for (std::size_t cut = root - 1; cut != std::wstring::npos; cut = folder.find(L'\\', cut + 1)) {
    const std::wstring step = cut == root - 1 ? folder.substr(0, root) : folder.substr(0, cut);
    DWORD attributes = GetFileAttributesW(step.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && create) {
      CreateDirectoryW(step.c_str(), nullptr);
      attributes = GetFileAttributesW(step.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return LastErrorOr(ERROR_PATH_NOT_FOUND);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return ERROR_DIRECTORY;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return kLinkInTheWay;
    }
  }
  return ERROR_SUCCESS;
}

// Where the handle really leads is `expected` (a full path without a trailing backslash), letters
// compared without regard to case as the file system compares them.
DWORD CheckFinalPath(HANDLE handle, const std::wstring& expected) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  GetFinalPathNameByHandleFunction finalPath = nullptr;
  CompareStringOrdinalFunction compare = nullptr;
  if (!BindProc(kernel32, "GetFinalPathNameByHandleW", finalPath) ||
      !BindProc(kernel32, "CompareStringOrdinal", compare)) {
    // Windows XP cannot tell where a handle leads. There the checks of every folder on the path
    // stand alone.
    return ERROR_SUCCESS;
  }
  wchar_t buffer[MAX_PATH + 8];
  const DWORD length = finalPath(handle, buffer, MAX_PATH + 8, kNormalizedDosName);
  if (length == 0 || length >= MAX_PATH + 8) {
    return LastErrorOr(kLinkInTheWay);
  }
  std::wstring found(buffer, length);
  if (found.compare(0, std::size(kExtendedUncPrefix) - 1, kExtendedUncPrefix) == 0) {
    found.replace(0, std::size(kExtendedUncPrefix) - 1, kUncPrefix);
  } else if (found.compare(0, std::size(kExtendedPrefix) - 1, kExtendedPrefix) == 0) {
    found.erase(0, std::size(kExtendedPrefix) - 1);
  }
  return compare(found.c_str(), static_cast<int>(found.size()), expected.c_str(),
                 static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL
             ? ERROR_SUCCESS
             : kLinkInTheWay;
}

// The folder the handle was opened on is a folder, and not a reparse point itself.
DWORD CheckFolderHandle(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(folder, &information)) {
    return LastErrorOr(ERROR_INVALID_HANDLE);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_DIRECTORY;
  }
  return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? kLinkInTheWay
                                                                            : ERROR_SUCCESS;
}

// The file the handle was opened on is a regular file with no other name, not a reparse point,
// and its path through the handle is `expected`.
DWORD CheckRegularFile(HANDLE file, const std::wstring& expected) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) {
    return LastErrorOr(ERROR_INVALID_HANDLE);
  }
  if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          0 ||
      information.nNumberOfLinks != 1) {
    return kLinkInTheWay;
  }
  return CheckFinalPath(file, expected);
}

// Opens `name` in the folder behind `folder`, by the name relative to that handle; a link at the
// name is opened itself where the system can (Wine follows it: the checks above then see where it
// leads).
DWORD OpenInFolder(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
                   DWORD disposition, FileHandle& file) {
  const NativeCalls& native = Native();
  if (!native.bound()) {
    return ERROR_PROC_NOT_FOUND;
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD result = native.Result(native.createFile(
      &opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr,
      FILE_ATTRIBUTE_NORMAL, share, disposition,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr,
      0));
  if (result == ERROR_SUCCESS) {
    file.reset(opened);
  }
  return result;
}

// Gives the file behind `file` (opened with DELETE) the name `name` in the folder behind
// `folder`, replacing a file or a link of that name: only the name is replaced.
DWORD RenameInFolder(HANDLE file, HANDLE folder, const std::wstring& name) {
  const NativeCalls& native = Native();
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(std::max(
      sizeof(FILE_RENAME_INFORMATION), offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes));
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(rename->FileName, name.c_str(), nameBytes);
  IO_STATUS_BLOCK status{};
  return native.Result(native.setInformation(
      file, &status, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation));
}

}  // namespace

bool RandomName(const wchar_t* prefix, unsigned count, std::wstring& name) {
  // RtlGenRandom, exported by advapi32 under this name.
  GenerateRandomFunction random = nullptr;
  std::vector<unsigned char> bytes(count);
  if (!BindProc(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036", random) ||
      !random(bytes.data(), count)) {
    return false;
  }
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  name = prefix;
  for (const unsigned char byte : bytes) {
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 0x0F]);
  }
  return true;
}

DWORD OpenRealFolder(const std::wstring& folder, FileHandle& handle) {
  // Opened on the folder itself, never through a link at its name (no trailing backslash, which
  // would look through it). Access to its content takes part in sharing, which access to its
  // attributes alone does not: without delete sharing nobody can rename the folder away or delete
  // it while the handle lives.
  const std::wstring name = folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder;
  FileHandle opened(CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  if (!opened) {
    return LastErrorOr(ERROR_INVALID_HANDLE);
  }
  DWORD error = CheckFolderHandle(opened.get());
  if (error == ERROR_SUCCESS) {
    error = WalkFolders(folder, false);
  }
  if (error == ERROR_SUCCESS) {
    error = CheckFinalPath(opened.get(), name);
  }
  if (error == ERROR_SUCCESS) {
    handle = std::move(opened);
  }
  return error;
}

DWORD CheckedFolder::Open(const std::wstring& folder, bool create) {
  path_.clear();
  handle_.reset();
  if (folder.empty() || folder.back() != L'\\') {
    return ERROR_BAD_PATHNAME;
  }
  if (create) {
    const DWORD made = WalkFolders(folder, true);
    if (made != ERROR_SUCCESS) {
      return made;
    }
  }
  // The path through the handle is the long form: a temporary folder is often named with short
  // names.
  std::wstring longForm = folder;
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetLongPathNameW(folder.c_str(), buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    longForm.assign(buffer, length);
    if (longForm.back() != L'\\') {
      longForm.push_back(L'\\');
    }
  }
  const DWORD error = OpenRealFolder(longForm, handle_);
  if (error == ERROR_SUCCESS) {
    path_ = longForm;
  }
  return error;
}

DWORD CheckedFolder::CreateFile(const wchar_t* name, DWORD access, DWORD share,
                                FileHandle& file) const {
  if (!handle_) {
    return ERROR_INVALID_HANDLE;
  }
  // Made under a name nobody can know, with no access but the one to rename it.
  FileHandle created;
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < kNameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
    std::wstring temporary;
    if (!RandomName(kTemporaryNamePrefix, kTemporaryNameBytes, temporary)) {
      return ERROR_PROC_NOT_FOUND;
    }
    error = OpenInFolder(handle_.get(), temporary, DELETE, 0, FILE_CREATE, created);
    if (error == ERROR_FILE_EXISTS) {
      error = ERROR_ALREADY_EXISTS;
    }
  }
  if (error != ERROR_SUCCESS) {
    return error;
  }
  BY_HANDLE_FILE_INFORMATION made;
  error = RenameInFolder(created.get(), handle_.get(), name);
  if (error != ERROR_SUCCESS || !GetFileInformationByHandle(created.get(), &made)) {
    // A folder, or a link to one, keeps the name: a link is reported as one, so that the caller
    // can go elsewhere. The new file is the run's own, and goes again by its handle.
    const DWORD failure = error != ERROR_SUCCESS ? error : LastErrorOr(ERROR_INVALID_HANDLE);
    DeleteByHandle(created.get());
    const DWORD attributes = GetFileAttributesW((path_ + name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
               ? kLinkInTheWay
               : failure;
  }
  // Opened again as the caller wants it, without the access to delete it, which would make every
  // other opener share deletion; under its name by now, so it must prove to be the same file.
  created.reset();
  FileHandle opened;
  error = OpenFile(name, access, share, opened);
  BY_HANDLE_FILE_INFORMATION found;
  if (error == ERROR_SUCCESS &&
      (!GetFileInformationByHandle(opened.get(), &found) || !SameFile(found, made))) {
    error = kLinkInTheWay;
  }
  if (error == ERROR_SUCCESS) {
    file = std::move(opened);
  }
  return error;
}

DWORD CheckedFolder::OpenFile(const wchar_t* name, DWORD access, DWORD share,
                              FileHandle& file) const {
  if (!handle_) {
    return ERROR_INVALID_HANDLE;
  }
  FileHandle opened;
  DWORD error = OpenInFolder(handle_.get(), name, access, share, FILE_OPEN, opened);
  if (error == ERROR_SUCCESS) {
    error = CheckRegularFile(opened.get(), path_ + name);
  }
  if (error == ERROR_SUCCESS) {
    file = std::move(opened);
  }
  return error;
}

bool DeleteByHandle(HANDLE file) {
  const NativeCalls& native = Native();
  if (!native.bound()) {
    return false;
  }
  IO_STATUS_BLOCK status{};
  // A read-only file cannot be deleted: the attribute goes first, when the handle may change it.
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file, &information) &&
      (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFORMATION basic{};  // times of 0 stay as they are
    basic.FileAttributes = information.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) {
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    native.setInformation(file, &status, &basic, sizeof(basic), FileBasicInformation);
  }
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  return native.Result(native.setInformation(file, &status, &disposition, sizeof(disposition),
                                             FileDispositionInformation)) == ERROR_SUCCESS;
}

bool CopyContent(HANDLE source, HANDLE target) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
    return false;
  }
  unsigned char chunk[kCopyChunkBytes];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, chunk, kCopyChunkBytes, &read, nullptr)) {
      return false;
    }
    if (read == 0) {
      return true;
    }
    DWORD written = 0;
    if (!WriteFile(target, chunk, read, &written, nullptr) || written != read) {
      return false;
    }
  }
}

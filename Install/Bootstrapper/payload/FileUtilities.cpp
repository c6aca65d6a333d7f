#include "payload/FileUtilities.h"

// Placeholder implementations until the file utilities exist.
bool CreateDirectoryTree(const wchar_t*) {
  return true;
}

void SplitPath(const wchar_t* path, std::wstring& folder, std::wstring& name) {
  folder = path != nullptr ? path : L"";
  const std::size_t cut = folder.rfind(L'\\');
  if (cut != std::wstring::npos) {
    name = folder.substr(cut + 1);
    folder.resize(cut);
  }
}

void RemoveDirectory(const wchar_t*, const wchar_t*) {}

void DeleteFile(const wchar_t*, const wchar_t*, const wchar_t*) {}

bool CopyFileToFolder(const wchar_t*, const wchar_t*, const wchar_t*) {
  return false;
}

DWORD RunHidden(wchar_t*) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WaitPumpingMessages(HANDLE) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

bool IsExistingFolder(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsExistingFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

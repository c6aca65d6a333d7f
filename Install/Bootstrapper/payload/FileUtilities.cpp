#include "payload/FileUtilities.h"

#include "sys/BootstrapLog.h"

namespace {

std::wstring g_programStartFolder;

// Joins the parts of a path within MAX_PATH characters. A path that does not fit is not cut,
// because a cut path names some other file or folder: the result is then false.
bool JoinPath(std::wstring& path, std::initializer_list<const wchar_t*> parts) {
  path.clear();
  for (const wchar_t* part : parts) {
    if (part != nullptr) {
      path += part;
    }
  }
  return path.size() < MAX_PATH;
}

// Clears a read-only attribute so that the file or folder can be removed, logging the outcome
// with `format`.
void ClearReadOnly(const std::wstring& path, const wchar_t* format) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    const BOOL cleared = SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    LogNumber(format, static_cast<DWORD>(cleared));
  }
}

}  // namespace

bool IsExistingFolder(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsExistingFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectoryTree(const wchar_t* path) {
  std::wstring working;
  if (path == nullptr || !JoinPath(working, {path})) {
    return true;
  }
  if (working != L"\\" && !working.empty() && working.back() == L'\\') {
    working.pop_back();
  }
  // Every prefix that ends before a backslash, shortest first, then the whole path; the search
  // starts at the second character so that a leading separator never makes an empty prefix.
  // Failures are expected for prefixes such as a drive or a server name and are ignored.
  auto createIfMissing = [](const std::wstring& candidate) {
    if (!IsExistingFolder(candidate.c_str())) {
      CreateDirectoryW(candidate.c_str(), nullptr);
    }
  };
  for (std::size_t cut = working.find(L'\\', 1); cut != std::wstring::npos;
       cut = working.find(L'\\', cut + 1)) {
    createIfMissing(working.substr(0, cut));
  }
  createIfMissing(working);
  return true;
}

void SplitPath(const wchar_t* path, std::wstring& folder, std::wstring& name) {
  folder = path != nullptr ? path : L"";
  const std::size_t cut = folder.rfind(L'\\');
  if (cut == std::wstring::npos) {
    return;
  }
  name = folder.substr(cut + 1);
  folder.resize(cut);
}

void RemoveDirectory(const wchar_t* base, const wchar_t* relative) {
  std::wstring path;
  if (!JoinPath(path, {base, relative})) {
    return;
  }
  ClearReadOnly(path, L"[RemoveDirectory] SetFileAttributes returned %d\n");
  // A folder that still holds something stays; that is not an error of the run.
  RemoveDirectoryW(path.c_str());
}

void DeleteFile(const wchar_t* base, const wchar_t* middle, const wchar_t* name) {
  std::wstring path;
  if (!JoinPath(path, {base, middle, name})) {
    return;
  }
  ClearReadOnly(path, L"[DeleteFile] SetFileAttributes returned %d\n");
  DeleteFileW(path.c_str());
}

bool CopyFileToFolder(const wchar_t* sourceFolder, const wchar_t* name,
                      const wchar_t* targetFolder) {
  std::wstring source;
  std::wstring target;
  if (!JoinPath(source, {sourceFolder, name}) || !JoinPath(target, {targetFolder, name})) {
    return false;
  }
  if (!IsExistingFile(source.c_str())) {
    return false;
  }
  CreateDirectoryTree(targetFolder);
  return CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

void SetProgramStartFolder(const std::wstring& folder) { g_programStartFolder = folder; }

const wchar_t* ProgramStartFolder() {
  return g_programStartFolder.empty() ? nullptr : g_programStartFolder.c_str();
}

DWORD RunHidden(wchar_t* commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr, ProgramStartFolder(),
                      &startup, &process)) {
    return GetLastError();
  }
  DWORD result = WaitPumpingMessages(process.hProcess);
  if (result == ERROR_SUCCESS) {
    DWORD exitCode = 0;
    result = GetExitCodeProcess(process.hProcess, &exitCode) ? exitCode : GetLastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

DWORD WaitPumpingMessages(HANDLE process) {
  for (;;) {
    // MWMO_INPUTAVAILABLE wakes the wait for messages that were already queued at an earlier
    // wake-up, too; since only one message is taken per wake-up, the rest would otherwise wait
    // for new input to arrive.
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(1, &process, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0) {
      return ERROR_SUCCESS;
    }
    if (woken != WAIT_OBJECT_0 + 1) {
      // A wait that failed says nothing of the child, which may still be running: a failure of
      // its own, never the child's success.
      const DWORD error = LastErrorOr(ERROR_INTERNAL_ERROR);
      LogNumber(L"[Error] Waiting for the process failed (%lu).\n", error);
      return error;
    }
    // No IsDialogMessageW here: dialog keys such as Escape have no effect during this wait.
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

std::wstring GetWorkingTempFolder(const std::wstring& exeFolder, bool& fellBack) {
  wchar_t temp[MAX_PATH] = {};
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  fellBack = length == 0 || length >= MAX_PATH;
  if (fellBack) {
    LogNumber(L"[Info] unable to acquire temp folder %ld\n", GetLastError());
    return exeFolder + kFallbackTempSubfolder;
  }
  return std::wstring(temp, length);
}

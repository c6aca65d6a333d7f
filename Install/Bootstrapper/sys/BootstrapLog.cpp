#include "sys/BootstrapLog.h"

#include <iterator>
#include <utility>

#include "payload/CheckedFolder.h"
#include "payload/WorkFolder.h"
#include "sys/LogLine.h"

namespace {

// Writes always go to the end of the file; reading is for the copies at the end of the run.
constexpr DWORD kHoldAccess = FILE_APPEND_DATA | FILE_READ_DATA;
// While the run holds the file, others may read it, and nothing else: no other process adds a
// line, and deleting or renaming it waits until the run lets go.
constexpr DWORD kHoldSharing = FILE_SHARE_READ;

// -1: not yet initialised; 0: initialising, lines are dropped; 1: on.
int g_logState = -1;
std::wstring g_logPath;
// False while the file belongs to another instance, or when none could be made: lines then
// reach the debugger only.
bool g_writeFile = true;
// The file, open for appending from the first line until ReleaseLogFile. A line is then one
// write, which the system has as soon as the call returns: the file is complete after every line
// whatever becomes of the process.
FileHandle g_heldFile;
// Which file the run made, by volume and index: after the run let go, a path may name another.
BY_HANDLE_FILE_INFORMATION g_identity{};
// The path a link kept the log from, until the line that says so is written.
std::wstring g_keptFrom;

// The folder the log belongs in, ending in a backslash: the temporary folder; the current folder
// when there is none or its path leaves no room for the log's name (a name cut short would be
// some other file). Empty when neither can be had.
std::wstring IntendedFolder() {
  wchar_t folder[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH || length + std::size(kBootstrapLogName) > MAX_PATH) {
    length = GetCurrentDirectoryW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) {
      return {};
    }
  }
  std::wstring result(folder, length);
  if (result.back() != L'\\') {
    result.push_back(L'\\');
  }
  return result;
}

// Makes the log new in `folder`, made first if missing, and holds it. 0, kLinkInTheWay, or the
// Windows error.
DWORD CreateLogIn(const std::wstring& folder) {
  CheckedFolder checked;
  DWORD error = checked.Open(folder, true);
  FileHandle file;
  if (error == ERROR_SUCCESS) {
    error = checked.CreateFile(kBootstrapLogName, kHoldAccess, kHoldSharing, file);
  }
  if (error == ERROR_SUCCESS && !GetFileInformationByHandle(file.get(), &g_identity)) {
    error = LastErrorOr(ERROR_INVALID_HANDLE);
  }
  if (error == ERROR_SUCCESS) {
    g_heldFile = std::move(file);
    g_logPath = checked.path() + kBootstrapLogName;
  }
  return error;
}

void InitialiseLog() {
  g_logState = 0;
  const std::wstring folder = IntendedFolder();
  g_logPath = folder + kBootstrapLogName;
  g_logState = 1;
  if (!g_writeFile || folder.empty()) {
    g_writeFile = false;
    return;
  }
  // A link in the way is not followed: the log goes where only administrators can change the
  // folders above it.
  std::wstring elsewhere;
  if (CreateLogIn(folder) == kLinkInTheWay && WindowsTempFolder(elsewhere) &&
      CreateLogIn(elsewhere) == ERROR_SUCCESS) {
    g_keptFrom = folder + kBootstrapLogName;
  }
  g_writeFile = static_cast<bool>(g_heldFile);
}

// The log file by its path, when it is still the file this run made.
FileHandle ReopenOwnFile(DWORD access, DWORD sharing) {
  FileHandle file(CreateFileW(g_logPath.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION found;
  if (!file || !GetFileInformationByHandle(file.get(), &found) || !SameFile(found, g_identity)) {
    return FileHandle();
  }
  return file;
}

void WriteLine(const std::wstring& line) {
  OutputDebugStringW(line.c_str());
  if (!g_writeFile) {
    return;
  }
  const std::string bytes = logline::ToFileText(line);
  // Once let go, a line goes in whole or not at all: nobody else may write while it is appended.
  FileHandle reopened;
  if (!g_heldFile) {
    reopened = ReopenOwnFile(FILE_APPEND_DATA, FILE_SHARE_READ);
  }
  HANDLE file = g_heldFile ? g_heldFile.get() : reopened.get();
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  if (!g_keptFrom.empty()) {
    // Said right after the first line.
    const std::wstring keptFrom = std::exchange(g_keptFrom, std::wstring());
    std::wstring notice;
    if (logline::BuildStringLine(notice, kLogKeptElsewhere, keptFrom.c_str(), g_logPath.c_str())) {
      WriteLine(notice);
    }
  }
}

bool LogReady(const wchar_t* format) {
  if (g_logState == -1) {
    InitialiseLog();
  }
  return g_logState == 1 && format != nullptr;
}

}  // namespace

void LogString(const wchar_t* format, const wchar_t* text1, const wchar_t* text2) {
  if (!LogReady(format)) {
    return;
  }
  try {
    std::wstring line;
    if (logline::BuildStringLine(line, format, text1, text2)) {
      WriteLine(line);
    }
  } catch (...) {
    // No memory for the line: it is dropped.
  }
}

void LogNumber(const wchar_t* format, std::uint32_t value) {
  if (!LogReady(format)) {
    return;
  }
  try {
    std::wstring line;
    if (logline::BuildNumberLine(line, format, value)) {
      WriteLine(line);
    }
  } catch (...) {
  }
}

void LogNumbers(const wchar_t* format, std::uint32_t value1, std::uint32_t value2) {
  if (!LogReady(format)) {
    return;
  }
  try {
    std::wstring line;
    if (logline::BuildNumbersLine(line, format, value1, value2)) {
      WriteLine(line);
    }
  } catch (...) {
  }
}

std::wstring BootstrapLogPath() { return g_logState == -1 ? std::wstring() : g_logPath; }

bool HasLogFile() { return g_writeFile && g_logState == 1; }

bool CopyLogInto(HANDLE target) {
  if (!HasLogFile()) {
    return false;
  }
  if (g_heldFile) {
    return CopyContent(g_heldFile.get(), target);
  }
  const FileHandle reopened = ReopenOwnFile(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE);
  return static_cast<bool>(reopened) && CopyContent(reopened.get(), target);
}

void KeepLogOffFile() { g_writeFile = false; }

void ReleaseLogFile() { g_heldFile.reset(); }

#include "sys/BootstrapLog.h"

#include <iterator>

#include "sys/LogLine.h"
#include "sys/Win32.h"

namespace {

constexpr wchar_t kLogName[] = L"bootstrap.log";
// While a line is appended by an open of its own, nobody else may write: the line goes in whole.
constexpr DWORD kLineSharing = FILE_SHARE_READ;
// While the run holds the file, others may read it, and write it as well: a reader of a log that
// is being written must let the writer write, and then reads every line as soon as it is written.
// Deleting or renaming it waits until the run lets go.
constexpr DWORD kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// -1: not yet initialised; 0: initialising, lines are dropped; 1: on.
int g_logState = -1;
wchar_t g_logPath[MAX_PATH] = {};
// False while the file belongs to another instance: lines then reach the debugger only.
bool g_writeFile = true;
// The file, open for appending from the first line until ReleaseLogFile. A line is then one
// write, which the system has as soon as the call returns: the file is complete after every line
// whatever becomes of the process. Without the hold, each line opens the file, appends and closes
// it again.
HANDLE g_heldFile = INVALID_HANDLE_VALUE;

HANDLE OpenForAppending(DWORD sharing) {
  return CreateFileW(g_logPath, FILE_APPEND_DATA, sharing, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void InitialiseLog() {
  g_logState = 0;
  if (g_logPath[0] == L'\0') {
    const DWORD length = GetTempPathW(MAX_PATH, g_logPath);
    if (length == 0 || length >= MAX_PATH) {
      // No usable temporary folder: the bare name resolves against the current folder.
      g_logPath[0] = L'\0';
    }
  }
  std::size_t length = 0;
  while (g_logPath[length] != L'\0') {
    ++length;
  }
  // A log name cut short would be some other file: a temporary folder too long to hold the
  // whole name counts as unavailable, and the bare name is used.
  if (length + std::size(kLogName) > MAX_PATH) {
    length = 0;
  }
  for (const wchar_t* c = kLogName; *c != L'\0'; ++c) {
    g_logPath[length++] = *c;
  }
  g_logPath[length] = L'\0';
  g_logState = 1;

  if (!g_writeFile) {
    return;
  }
  // Discard the log of an earlier run, then hold the new one.
  HANDLE emptied = CreateFileW(g_logPath, GENERIC_WRITE, kLineSharing, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (emptied != INVALID_HANDLE_VALUE) {
    CloseHandle(emptied);
  }
  g_heldFile = OpenForAppending(kHoldSharing);
}

void WriteLine(const std::wstring& line) {
  OutputDebugStringW(line.c_str());
  if (!g_writeFile) {
    return;
  }
  const std::string bytes = logline::ToFileText(line);
  const bool held = g_heldFile != INVALID_HANDLE_VALUE;
  HANDLE file = held ? g_heldFile : OpenForAppending(kLineSharing);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (!held) {
    CloseHandle(file);
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

std::wstring BootstrapLogPath() {
  return g_logState == -1 ? std::wstring() : std::wstring(g_logPath);
}

void KeepLogOffFile() { g_writeFile = false; }

void ReleaseLogFile() {
  if (g_heldFile != INVALID_HANDLE_VALUE) {
    CloseHandle(g_heldFile);
    g_heldFile = INVALID_HANDLE_VALUE;
  }
}

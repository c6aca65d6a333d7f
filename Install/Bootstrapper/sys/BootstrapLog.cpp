#include "sys/BootstrapLog.h"

#include <share.h>
#include <stdio.h>

#include <iterator>

#include "sys/LogLine.h"
#include "sys/SingleInstance.h"
#include "sys/Win32.h"

namespace {

constexpr wchar_t kLogName[] = L"bootstrap.log";

// -1: not yet initialised; 0: initialising, lines are dropped; 1: on.
int g_logState = -1;
wchar_t g_logPath[MAX_PATH] = {};
// False while the file belongs to another instance: lines then reach the debugger only.
bool g_writeFile = true;

// Another instance holds the single-instance mutex: the log file is that instance's, and
// emptying it would lose the record of the run in progress.
bool AnotherInstanceRuns() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kSingleInstanceMutexName);
  if (mutex == nullptr) {
    return false;
  }
  CloseHandle(mutex);
  return true;
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

  if (!g_writeFile || AnotherInstanceRuns()) {
    g_writeFile = false;
    return;
  }
  // Discard the log of an earlier run.
  if (FILE* file = _wfsopen(g_logPath, L"w", _SH_DENYWR)) {
    fclose(file);
  }
}

void WriteLine(const std::wstring& line) {
  OutputDebugStringW(line.c_str());
  if (!g_writeFile) {
    return;
  }
  // Text mode stores each "\n" as CR LF; no other opener may write while the line goes in.
  if (FILE* file = _wfsopen(g_logPath, L"a+", _SH_DENYWR)) {
    const std::string bytes = logline::ToFileText(line);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
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

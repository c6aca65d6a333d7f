// Stand-in for the Windows Installer engine update package. It installs nothing: it appends its
// command line to the file named by BOOTSTRAPPER_UPDATE_RECORD (when set), so that a test can see
// whether and how it was started, and ends with the exit code given in BOOTSTRAPPER_UPDATE_EXIT
// (decimal; 0 when unset). With BOOTSTRAPPER_UPDATE_HOLD it first waits, two minutes at most, for
// that file to exist (the harness makes it once it has seen what the test needs to see while the
// package runs; an attacking test once it is done with the package in use). The variables reach it
// through the environment that setup.exe inherits from the test and passes on. Its file version is
// chosen when it is built.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD kValueCapacity = 1024;
constexpr DWORD kHoldLimitMs = 120000;
constexpr DWORD kHoldPollMs = 20;

// An environment variable's value; empty when unset or too long.
bool ReadVariable(const wchar_t* name, wchar_t* value) {
  const DWORD length = GetEnvironmentVariableW(name, value, kValueCapacity);
  return length > 0 && length < kValueCapacity;
}

void AppendRecord(const wchar_t* recordPath) {
  HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  // One UTF-8 line per start: the whole command line as the process received it.
  const wchar_t* commandLine = GetCommandLineW();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
  if (bytes > 1) {
    char* line = new char[bytes + 1];
    WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, line, bytes, nullptr, nullptr);
    line[bytes - 1] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(bytes), &written, nullptr);
    delete[] line;
  }
  CloseHandle(file);
}

void WaitForFile(const wchar_t* path) {
  const DWORD start = GetTickCount();
  while (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < kHoldLimitMs) {
    Sleep(kHoldPollMs);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t value[kValueCapacity];
  if (ReadVariable(L"BOOTSTRAPPER_UPDATE_RECORD", value)) {
    AppendRecord(value);
  }
  if (ReadVariable(L"BOOTSTRAPPER_UPDATE_HOLD", value)) {
    WaitForFile(value);
  }
  if (ReadVariable(L"BOOTSTRAPPER_UPDATE_EXIT", value)) {
    return static_cast<int>(std::wcstoul(value, nullptr, 10));
  }
  return 0;
}

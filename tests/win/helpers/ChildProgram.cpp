// A child process for the process-runner tests:
//   unit-child.exe <exit code> [<report file> [<event name>]]
// writes how it was started (its startup flags and show command, whether it has a console, and
// its current folder) to the report file, waits for the named event when one is given (bounded, so
// a lost wake-up ends as a timeout rather than a hang), and exits with the given code.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return ERROR_BAD_ARGUMENTS;
  }
  const DWORD exitCode = std::wcstoul(argv[1], nullptr, 10);
  if (argc >= 3) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    FILE* report = _wfopen(argv[2], L"w");
    if (report == nullptr) {
      return ERROR_CANNOT_MAKE;
    }
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    std::fprintf(report, "flags=%lu show=%u console=%d cwd=%s\n", startup.dwFlags,
                 static_cast<unsigned>(startup.wShowWindow), GetConsoleWindow() != nullptr ? 1 : 0,
                 folder);
    std::fclose(report);
  }
  if (argc >= 4) {
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
    if (release == nullptr) {
      return ERROR_INVALID_HANDLE;
    }
    const DWORD waited = WaitForSingleObject(release, 10000);
    CloseHandle(release);
    if (waited != WAIT_OBJECT_0) {
      return ERROR_TIMEOUT;
    }
  }
  return static_cast<int>(exitCode);
}

// The benchmark's Windows-side stopwatch: starts a program and measures, with the performance
// counter, how long it takes until it ends or until it first shows a window. Timing on this side
// keeps Wine's own start-up, which is the same for every program, out of the figures.
//
//   benchtimer.exe run <program> [arguments...]      until the program ends
//   benchtimer.exe window <program> [arguments...]   until a top-level window of the program is
//                                                     visible; the program is then ended
//
// Prints one line: "<mode> <milliseconds> <exit code>" (the exit code is that of the program, or
// of its forced end in window mode).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Quotes one argument the way CommandLineToArgvW and the C runtime read it back.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

struct WindowSearch {
  DWORD processId;
  bool found;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->processId && IsWindowVisible(window)) {
    search->found = true;
    return FALSE;
  }
  return TRUE;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || (std::wcscmp(argv[1], L"run") != 0 && std::wcscmp(argv[1], L"window") != 0)) {
    std::fwprintf(stderr, L"usage: benchtimer run|window <program> [arguments...]\n");
    return 2;
  }
  const bool untilWindow = std::wcscmp(argv[1], L"window") == 0;
  std::wstring commandLine = Quote(argv[2]);
  for (int i = 3; i < argc; ++i) {
    commandLine += L" " + Quote(argv[i]);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(argv[2], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fwprintf(stderr, L"benchtimer: cannot start %ls (%lu)\n", argv[2], GetLastError());
    return 3;
  }
  CloseHandle(process.hThread);

  LARGE_INTEGER end;
  if (untilWindow) {
    // Polled every millisecond: the figure is at most about that late, for every program alike.
    WindowSearch search{process.dwProcessId, false};
    for (;;) {
      EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
      QueryPerformanceCounter(&end);
      if (search.found) {
        break;
      }
      if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
        std::fwprintf(stderr, L"benchtimer: the program ended without showing a window\n");
        CloseHandle(process.hProcess);
        return 4;
      }
    }
    TerminateProcess(process.hProcess, 1);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!untilWindow) {
    QueryPerformanceCounter(&end);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  std::wprintf(L"%ls %.3f %lu\n", argv[1], Milliseconds(start, end),
               static_cast<unsigned long>(exitCode));
  return 0;
}

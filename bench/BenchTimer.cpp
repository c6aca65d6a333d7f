// The benchmark's Windows-side stopwatch: starts a program and measures, with the performance
// counter, how long it takes until it ends or until it first shows a window. Timing on this side
// keeps Wine's own start-up, which is the same for every program, out of the figures.
//
//   benchtimer.exe run <program> [arguments...]      until the program ends
//   benchtimer.exe window <program> [arguments...]   until a top-level window of the program is
//                                                     visible; the program is then ended
//   benchtimer.exe verify <file>                     one Authenticode verification of the file,
//                                                     as the first one in a process (WinTrust
//                                                     loaded for it)
//   benchtimer.exe copy <source> <target>            one CopyFileW
//
// Prints one line: "<mode> <milliseconds> <result>": the exit code of the program (or of its
// forced end in window mode), WinVerifyTrust's result, or CopyFileW's error (0 when it copied).
#include <windows.h>
// After <windows.h>, which they need.
#include <softpub.h>
#include <wintrust.h>

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

// The work a verification of the file cannot avoid: the trust provider's first use in the
// process and the hash of every byte. No state is kept and no UI shown, as in the bootstrapper.
int TimeVerification(const wchar_t* file) {
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  HMODULE wintrust = LoadLibraryW(L"wintrust.dll");
  decltype(&::WinVerifyTrust) verify =
      wintrust != nullptr ? reinterpret_cast<decltype(&::WinVerifyTrust)>(
                                reinterpret_cast<void*>(GetProcAddress(wintrust, "WinVerifyTrust")))
                          : nullptr;
  if (verify == nullptr) {
    std::fwprintf(stderr, L"benchtimer: no WinVerifyTrust\n");
    return 3;
  }
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = file;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_IGNORE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  FreeLibrary(wintrust);
  QueryPerformanceCounter(&end);
  std::wprintf(L"verify %.3f %lu\n", Milliseconds(start, end), static_cast<unsigned long>(result));
  return 0;
}

int TimeCopy(const wchar_t* source, const wchar_t* target) {
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  const BOOL copied = CopyFileW(source, target, FALSE);
  const DWORD error = copied ? ERROR_SUCCESS : GetLastError();
  QueryPerformanceCounter(&end);
  std::wprintf(L"copy %.3f %lu\n", Milliseconds(start, end), static_cast<unsigned long>(error));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"verify") == 0) {
    return TimeVerification(argv[2]);
  }
  if (argc == 4 && std::wcscmp(argv[1], L"copy") == 0) {
    return TimeCopy(argv[2], argv[3]);
  }
  if (argc < 3 || (std::wcscmp(argv[1], L"run") != 0 && std::wcscmp(argv[1], L"window") != 0)) {
    std::fwprintf(stderr,
                  L"usage: benchtimer run|window <program> [arguments...] | verify <file> | "
                  L"copy <source> <target>\n");
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

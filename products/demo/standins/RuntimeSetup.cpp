// Stand-in for the Visual C++ 2008 SP1 runtime redistributable (vcredist_x86.exe) that the demo
// product carries as payload 90. It keeps the contract the bootstrapper relies on and nothing
// more: it accepts "/q", registers the runtime's uninstall entry with a DisplayVersion, and ends
// with an exit code. It finishes at once unless asked otherwise, so that every run of the demo
// product on a machine without the entry stays fast.
//
// Environment (inherited from the bootstrapper, so a test sets it before starting setup.exe):
//   STANDIN_RUNTIME_EXIT_CODE  exit code, decimal or 0x-hexadecimal; default 0. The entry is
//                              written only for codes that mean "installed" (0, 3010, 3011,
//                              0xC00000BA).
//   STANDIN_RUNTIME_RECORD     file to which one line per start is appended:
//                              "args=<arguments>|hidden=<0 or 1>|cwd=<current folder>|path=<own
//                              path>"
//   STANDIN_RUNTIME_HOLD       file whose appearance lets the stand-in finish; it waits for it
//                              for at most two minutes (used to photograph the progress window)
#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    L"{9BE518E6-ECC6-35A9-88E4-87755C07200F}";
constexpr wchar_t kDisplayVersion[] = L"9.0.30729";
constexpr wchar_t kDisplayName[] =
    L"Microsoft Visual C++ 2008 Redistributable - x86 9.0.30729 (stand-in)";
constexpr DWORD kAlreadyInstalledStatus = 0xC00000BA;
constexpr DWORD kHoldLimitMs = 120000;
constexpr DWORD kHoldPollMs = 50;
// Plain buffers and no C++ library: the stand-in travels inside every demo setup.exe.
constexpr DWORD kTextCapacity = 1024;

// The variable's value, or false when it is not set (or too long to be meant for this program).
bool Environment(const wchar_t* name, wchar_t (&value)[kTextCapacity]) {
  const DWORD length = GetEnvironmentVariableW(name, value, kTextCapacity);
  return length > 0 && length < kTextCapacity;
}

DWORD ChosenExitCode() {
  wchar_t text[kTextCapacity];
  if (!Environment(L"STANDIN_RUNTIME_EXIT_CODE", text)) {
    return ERROR_SUCCESS;
  }
  return static_cast<DWORD>(std::wcstoul(text, nullptr, 0));
}

// The arguments after the program's own (possibly quoted) name.
const wchar_t* Arguments() {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') {
      ++line;
    }
    if (*line == L'"') {
      ++line;
    }
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') {
      ++line;
    }
  }
  while (*line == L' ' || *line == L'\t') {
    ++line;
  }
  return line;
}

bool HasQuietSwitch(const wchar_t* arguments) {
  for (const wchar_t* at = arguments; *at != L'\0'; ++at) {
    const bool startsWord = at == arguments || at[-1] == L' ' || at[-1] == L'\t';
    if (startsWord && at[0] == L'/' && (at[1] == L'q' || at[1] == L'Q') &&
        (at[2] == L'\0' || at[2] == L' ' || at[2] == L'\t')) {
      return true;
    }
  }
  return false;
}

void AppendUtf8(HANDLE file, const wchar_t* text) {
  char bytes[kTextCapacity * 3];
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
  if (length > 1) {
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(length - 1), &written, nullptr);
  }
}

void Record(const wchar_t* arguments) {
  wchar_t recordPath[kTextCapacity];
  if (!Environment(L"STANDIN_RUNTIME_RECORD", recordPath)) {
    return;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const bool hidden =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
  wchar_t ownPath[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
  wchar_t currentFolder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, currentFolder);
  HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  AppendUtf8(file, L"args=");
  AppendUtf8(file, arguments);
  AppendUtf8(file, hidden ? L"|hidden=1|cwd=" : L"|hidden=0|cwd=");
  AppendUtf8(file, currentFolder);
  AppendUtf8(file, L"|path=");
  AppendUtf8(file, ownPath);
  AppendUtf8(file, L"\r\n");
  CloseHandle(file);
}

void WaitForRelease() {
  wchar_t holdPath[kTextCapacity];
  if (!Environment(L"STANDIN_RUNTIME_HOLD", holdPath)) {
    return;
  }
  const DWORD start = GetTickCount();
  while (GetFileAttributesW(holdPath) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < kHoldLimitMs) {
    Sleep(kHoldPollMs);
  }
}

bool SetText(HKEY key, const wchar_t* name, const wchar_t* value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t))) ==
         ERROR_SUCCESS;
}

bool WriteUninstallEntry() {
  // The vendor's x86 runtime setup is a 32-bit program and registers in the 32-bit view; built
  // as a 64-bit program (for machines that run no 32-bit one), the stand-in writes there too.
#ifdef _WIN64
  constexpr REGSAM kAccess = KEY_WRITE | KEY_WOW64_32KEY;
#else
  constexpr REGSAM kAccess = KEY_WRITE;
#endif
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, kAccess, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool written = SetText(key, L"DisplayVersion", kDisplayVersion) &&
                       SetText(key, L"DisplayName", kDisplayName);
  RegCloseKey(key);
  return written;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const wchar_t* arguments = Arguments();
  Record(arguments);
  // The vendor's program would show its own user interface without "/q"; the bootstrapper must
  // never start it that way.
  if (!HasQuietSwitch(arguments)) {
    return ERROR_INVALID_PARAMETER;
  }
  WaitForRelease();
  const DWORD exitCode = ChosenExitCode();
  const bool installed = exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED ||
                         exitCode == ERROR_SUCCESS_RESTART_REQUIRED ||
                         exitCode == kAlreadyInstalledStatus;
  if (installed && !WriteUninstallEntry()) {
    return ERROR_INSTALL_FAILURE;
  }
  return static_cast<int>(exitCode);
}

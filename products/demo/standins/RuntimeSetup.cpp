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
//                              "args=<arguments>|hidden=<0 or 1>|path=<own path>"
//   STANDIN_RUNTIME_HOLD       file whose appearance lets the stand-in finish; it waits for it
//                              for at most two minutes (used to photograph the progress window)
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

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

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

DWORD ChosenExitCode() {
  const std::wstring text = Environment(L"STANDIN_RUNTIME_EXIT_CODE");
  if (text.empty()) {
    return ERROR_SUCCESS;
  }
  return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 0));
}

// The arguments after the program's own (possibly quoted) name.
std::wstring Arguments() {
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

bool HasQuietSwitch(const std::wstring& arguments) {
  std::wstring folded;
  for (wchar_t c : arguments) {
    folded.push_back(static_cast<wchar_t>(std::towlower(c)));
  }
  const std::wstring padded = L" " + folded + L" ";
  return padded.find(L" /q ") != std::wstring::npos;
}

void Record(const std::wstring& arguments) {
  const std::wstring recordPath = Environment(L"STANDIN_RUNTIME_RECORD");
  if (recordPath.empty()) {
    return;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const bool hidden =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
  wchar_t ownPath[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
  const std::wstring line =
      L"args=" + arguments + L"|hidden=" + (hidden ? L"1" : L"0") + L"|path=" + ownPath + L"\r\n";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes,
                      nullptr, nullptr);
  HANDLE file = CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
  }
}

void WaitForRelease() {
  const std::wstring holdPath = Environment(L"STANDIN_RUNTIME_HOLD");
  if (holdPath.empty()) {
    return;
  }
  const DWORD start = GetTickCount();
  while (GetFileAttributesW(holdPath.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < kHoldLimitMs) {
    Sleep(kHoldPollMs);
  }
}

bool WriteUninstallEntry() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const auto setText = [key](const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  };
  const bool written =
      setText(L"DisplayVersion", kDisplayVersion) && setText(L"DisplayName", kDisplayName);
  RegCloseKey(key);
  return written;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring arguments = Arguments();
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

// boxprobe: a small GUI program that does what the test bed's own tests tell it to, so that the
// harness can be checked against windows whose every detail is known: message boxes with a
// chosen icon, buttons and owner; a progress dialog laid out like the bootstrapper's (ids 112 to
// 116 in a #32770 dialog) whose message pump uses IsDialogMessageW; chosen exit codes; windows
// that never go away; child processes.
//
// The arguments are actions, carried out left to right:
//   dialog | dialog-hidden       create the progress dialog (shown, or never shown)
//   title TEXT                   title of the progress dialog (before "dialog")
//   main TEXT | detail TEXT      set control 114 | 116
//   range N | pos N              set the progress bar's upper bound | position
//   pump MS                      pump messages for MS milliseconds
//   wait-cancel MS               pump until the dialog is cancelled, at most MS milliseconds
//   await FILE MS                pump until FILE exists, at most MS milliseconds (the harness
//                                makes it once it has recorded a text: --seen-file)
//   box ICON BUTTONS OWNER CAPTION TEXT
//                                ICON error|warning|information|question|none,
//                                BUTTONS
//                                ok|okcancel|yesno|yesnocancel|retrycancel|abortretryignore, OWNER
//                                dialog|none; remembers the button pressed
//   exit-result                  exit with the button pressed in the last box
//   exit CODE                    exit with CODE (decimal or 0x hex, 32 bits)
//   window CAPTION               show a plain top-level window with a static text
//   alloc MB                     commit and touch MB megabytes
//   log LINE                     append LINE and CR LF, in Latin-1, to bootstrap.log in the
//                                temporary folder, as the bootstrapper writes its log
//   hang                         pump messages for ever
//   crash                        write through a null pointer (an unhandled access violation)
//   plain-pump                   from now on pump without IsDialogMessageW (Escape then does
//                                nothing, which shows that the harness does not go around it)
//   spawn ACTIONS...             run another boxprobe with the remaining actions, exit with its
//   code show-cmdline                 box "cmdline" with the raw command line, then exit 0
//   show-argv ARGS...            box "argv" with the remaining arguments one per line, then exit 0
// Any time the dialog receives IDCANCEL (the Escape key through IsDialogMessageW) the probe ends
// with 1602. Without an explicit exit it ends with 0.

// <windows.h>, which HarnessCommon.h includes, must come before the other system headers.
// clang-format off
#include "HarnessCommon.h"
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

namespace {

constexpr int kIconId = 112;
constexpr int kButtonId = 113;
using harness::kDetailTextId;
using harness::kMainTextId;
using harness::kProgressBarId;

constexpr DWORD kExitCancelled = 1602;   // ERROR_INSTALL_USEREXIT
constexpr DWORD kExitNoCancel = 1460;    // ERROR_TIMEOUT: the wait for Escape ran out
constexpr DWORD kExitBadArguments = 87;  // ERROR_INVALID_PARAMETER

HWND g_dialog = nullptr;
bool g_cancelled = false;
bool g_dialogMessages = true;

INT_PTR CALLBACK DialogProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    return TRUE;
  }
  if (message == WM_COMMAND && wParam == IDCANCEL) {
    g_cancelled = true;
    return TRUE;
  }
  return FALSE;
}

// Dialog templates are WORD streams whose items start on DWORD boundaries.
class TemplateBuilder {
 public:
  void Word(WORD w) { data_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const wchar_t* s) {
    for (; *s; ++s) Word(static_cast<WORD>(*s));
    Word(0);
  }
  void Align() {
    if (data_.size() % 2) Word(0);
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom,
            const wchar_t* className) {
    Align();
    Dword(style);
    Dword(0);
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(id);
    if (className) {
      Text(className);
    } else {
      Word(0xFFFF);
      Word(classAtom);
    }
    Word(0);  // empty text
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(data_.data()); }

 private:
  std::vector<WORD> data_;
};

HWND CreateProgressDialog(const std::wstring& title, bool show) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);

  constexpr WORD kButtonAtom = 0x0080;
  constexpr WORD kStaticAtom = 0x0082;
  TemplateBuilder t;
  t.Dword(WS_POPUP | WS_CAPTION | DS_SETFONT | DS_MODALFRAME | DS_NOIDLEMSG);
  t.Dword(0);
  t.Word(5);  // controls
  t.Word(150);
  t.Word(150);
  t.Word(253);
  t.Word(75);
  t.Word(0);  // no menu
  t.Word(0);  // default class
  t.Word(0);  // empty title
  t.Word(9);
  t.Text(L"MS Shell Dlg");
  t.Item(WS_CHILD | WS_VISIBLE | SS_ICON, 7, 7, 20, 20, kIconId, kStaticAtom, nullptr);
  t.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 196, 54, 50, 14, kButtonId,
         kButtonAtom, nullptr);
  t.Item(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 31, 7, 215, 28, kMainTextId, kStaticAtom,
         nullptr);
  t.Item(WS_CHILD | WS_VISIBLE | WS_BORDER, 7, 56, 182, 10, kProgressBarId, 0, PROGRESS_CLASSW);
  t.Item(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 7, 40, 339, 12, kDetailTextId, kStaticAtom,
         nullptr);

  HWND dlg = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), t.Get(), nullptr, DialogProc, 0);
  if (!dlg) {
    return nullptr;
  }
  SetWindowTextW(dlg, title.c_str());
  RECT rc{}, work{};
  if (GetWindowRect(dlg, &rc) && SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    int w = rc.right - rc.left;
    int h = rc.bottom - rc.top;
    MoveWindow(dlg, work.left + (work.right - w - work.left) / 2,
               work.top + (work.bottom - h - work.top) / 2, w, h, TRUE);
  }
  SetDlgItemTextW(dlg, kButtonId, L"Cancel");
  SetFocus(GetDlgItem(dlg, kProgressBarId));
  ShowWindow(GetDlgItem(dlg, kButtonId), SW_HIDE);
  SetForegroundWindow(dlg);
  // A shared system icon: never destroyed.
  SendDlgItemMessageW(dlg, kIconId, STM_SETICON,
                      reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_INFORMATION)), 0);
  if (show) {
    ShowWindow(dlg, SW_SHOW);
  }
  return dlg;
}

void PumpOnce() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (g_dialog && g_dialogMessages && IsDialogMessageW(g_dialog, &msg)) {
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (g_cancelled) {
    ExitProcess(kExitCancelled);
  }
}

// Pumps until `until` returns true or the time is up; returns whether `until` became true.
template <typename Until>
bool PumpFor(DWORD ms, HANDLE wakeOn, Until until) {
  ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    PumpOnce();
    if (until()) {
      return true;
    }
    ULONGLONG now = GetTickCount64();
    if (now >= end) {
      return false;
    }
    DWORD wait = static_cast<DWORD>(end - now);
    MsgWaitForMultipleObjects(wakeOn ? 1 : 0, wakeOn ? &wakeOn : nullptr, FALSE, wait, QS_ALLINPUT);
  }
}

UINT IconFlag(const std::wstring& name) {
  if (name == L"error") return MB_ICONERROR;
  if (name == L"warning") return MB_ICONWARNING;
  if (name == L"information") return MB_ICONINFORMATION;
  if (name == L"question") return MB_ICONQUESTION;
  return 0;
}

UINT ButtonsFlag(const std::wstring& name) {
  if (name == L"okcancel") return MB_OKCANCEL;
  if (name == L"yesno") return MB_YESNO;
  if (name == L"yesnocancel") return MB_YESNOCANCEL;
  if (name == L"retrycancel") return MB_RETRYCANCEL;
  if (name == L"abortretryignore") return MB_ABORTRETRYIGNORE;
  return MB_OK;
}

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void ShowPlainWindow(const std::wstring& caption) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = PlainWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"BoxProbeWindow";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  RegisterClassW(&wc);  // a second window finds the class already there
  HWND w = CreateWindowExW(0, wc.lpszClassName, caption.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           40, 40, 320, 160, nullptr, nullptr, wc.hInstance, nullptr);
  CreateWindowExW(0, L"STATIC", (L"inside " + caption).c_str(), WS_CHILD | WS_VISIBLE, 10, 10, 280,
                  40, w, reinterpret_cast<HMENU>(static_cast<INT_PTR>(7)), wc.hInstance, nullptr);
}

void AppendLogLine(const std::wstring& line) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  std::wstring path = std::wstring(temp) + L"bootstrap.log";
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  harness::UniqueHandle owner(file);
  std::wstring withEnd = line + L"\r\n";
  constexpr UINT kLatin1 = 28591;
  int size = WideCharToMultiByte(kLatin1, 0, withEnd.c_str(), static_cast<int>(withEnd.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(kLatin1, 0, withEnd.c_str(), static_cast<int>(withEnd.size()), &bytes[0],
                      size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

DWORD Spawn(const std::vector<std::wstring>& actions) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = harness::BuildCommandLine(self, actions);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return GetLastError();
  }
  harness::UniqueHandle process(pi.hProcess);
  harness::UniqueHandle thread(pi.hThread);
  while (!PumpFor(INFINITE, process.Get(),
                  [&] { return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0; })) {
  }
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> a(argv + 1, argv + argc);
  LocalFree(argv);

  std::wstring title = L"Probe progress";
  int lastResult = 0;
  auto need = [&](size_t i, size_t count) {
    if (i + count >= a.size()) {
      ExitProcess(kExitBadArguments);
    }
  };
  auto number = [&](const std::wstring& text) {
    std::uint32_t n = 0;
    if (!harness::ParseUnsigned32(text, n)) {
      ExitProcess(kExitBadArguments);
    }
    return n;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    const std::wstring& act = a[i];
    if (act == L"dialog" || act == L"dialog-hidden") {
      g_dialog = CreateProgressDialog(title, act == L"dialog");
      PumpOnce();
    } else if (act == L"title") {
      need(i, 1);
      title = a[++i];
    } else if (act == L"main" || act == L"detail") {
      need(i, 1);
      SetDlgItemTextW(g_dialog, act == L"main" ? kMainTextId : kDetailTextId, a[++i].c_str());
    } else if (act == L"range") {
      need(i, 1);
      SendDlgItemMessageW(g_dialog, kProgressBarId, PBM_SETRANGE32, 0, number(a[++i]));
      SendDlgItemMessageW(g_dialog, kProgressBarId, PBM_SETPOS, 0, 0);
      PumpOnce();
    } else if (act == L"pos") {
      need(i, 1);
      SendDlgItemMessageW(g_dialog, kProgressBarId, PBM_SETPOS, number(a[++i]), 0);
      PumpOnce();
    } else if (act == L"pump") {
      need(i, 1);
      PumpFor(number(a[++i]), nullptr, [] { return false; });
    } else if (act == L"wait-cancel") {
      need(i, 1);
      PumpFor(number(a[++i]), nullptr, [] { return g_cancelled; });
      return static_cast<int>(kExitNoCancel);
    } else if (act == L"await") {
      need(i, 2);
      const std::wstring file = a[i + 1];
      const ULONGLONG end = GetTickCount64() + number(a[i + 2]);
      // A file's appearance wakes nobody: the pump looks again every few milliseconds.
      constexpr DWORD kLookMs = 20;
      while (!harness::Exists(file) && GetTickCount64() < end) {
        PumpFor(kLookMs, nullptr, [] { return false; });
      }
      i += 2;
    } else if (act == L"box") {
      need(i, 5);
      UINT flags = IconFlag(a[i + 1]) | ButtonsFlag(a[i + 2]);
      HWND owner = a[i + 3] == L"dialog" ? g_dialog : nullptr;
      lastResult = MessageBoxW(owner, a[i + 5].c_str(), a[i + 4].c_str(), flags);
      i += 5;
    } else if (act == L"exit-result") {
      return lastResult;
    } else if (act == L"exit") {
      need(i, 1);
      // The whole 32-bit value, HRESULTs included, is the process's exit code.
      ExitProcess(number(a[++i]));
    } else if (act == L"window") {
      need(i, 1);
      ShowPlainWindow(a[++i]);
      PumpOnce();
    } else if (act == L"alloc") {
      need(i, 1);
      SIZE_T bytes = static_cast<SIZE_T>(number(a[++i])) * 1024 * 1024;
      auto* p = static_cast<volatile char*>(
          VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      for (SIZE_T off = 0; p && off < bytes; off += 4096) p[off] = 1;
    } else if (act == L"log") {
      need(i, 1);
      AppendLogLine(a[++i]);
    } else if (act == L"crash") {
      // The null comes from a call, so the compiler cannot turn the store into a trap.
      auto* nowhere = reinterpret_cast<volatile int*>(GetModuleHandleW(L"no-such.dll"));
      *nowhere = 1;
    } else if (act == L"plain-pump") {
      g_dialogMessages = false;
    } else if (act == L"hang") {
      PumpFor(INFINITE, nullptr, [] { return false; });
    } else if (act == L"spawn") {
      std::vector<std::wstring> rest(a.begin() + static_cast<std::ptrdiff_t>(i) + 1, a.end());
      ExitProcess(Spawn(rest));
    } else if (act == L"show-cmdline") {
      MessageBoxW(nullptr, GetCommandLineW(), L"cmdline", MB_OK);
      return 0;
    } else if (act == L"show-env") {
      need(i, 1);
      wchar_t value[4096];
      DWORD n = GetEnvironmentVariableW(a[++i].c_str(), value, 4096);
      MessageBoxW(nullptr, n > 0 && n < 4096 ? value : L"<unset>", L"env", MB_OK);
    } else if (act == L"show-cwd") {
      wchar_t folder[MAX_PATH];
      GetCurrentDirectoryW(MAX_PATH, folder);
      MessageBoxW(nullptr, folder, L"cwd", MB_OK);
    } else if (act == L"show-argv") {
      std::wstring text;
      for (size_t k = i + 1; k < a.size(); ++k) {
        text += a[k];
        if (k + 1 < a.size()) text += L'\n';
      }
      MessageBoxW(nullptr, text.c_str(), L"argv", MB_OK);
      return 0;
    } else {
      return static_cast<int>(kExitBadArguments);
    }
  }
  return 0;
}

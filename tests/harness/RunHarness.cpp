// runharness: starts one program under test and records, as JSON, what its user would have seen
// and done: every message box (with the answer pressed for the user), the progress dialog's
// texts and bar, the whole 32-bit exit code, the elapsed time and the peak private memory.
//
//   runharness.exe [options] -- <exe> [arguments...]
//   runharness.exe --args-file FILE      (the same arguments, UTF-8, each ended by a NUL)
//
// The program and every process it starts are watched by polling their top-level windows, so
// nothing has to be built into the program under test. A state that the program shows only for a
// moment is made to last instead of being hoped for: before any box is answered the progress
// dialog is read whole, and a stand-in or a server that the test controls waits for the file that
// --seen-file makes once the harness has recorded the texts it names.

// <windows.h>, which HarnessCommon.h includes, must come before the other system headers.
// clang-format off
#include "HarnessCommon.h"
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

using harness::JsonWriter;
using harness::UniqueHandle;

namespace {

using harness::kDetailTextId;
using harness::kMainTextId;
using harness::kProgressBarId;
constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconId = 0x0440;

constexpr DWORD kDefaultTimeoutMs = 120000;
constexpr DWORD kPollMs = 5;
// A box is painted shortly after it becomes visible; its icon is given this long to appear.
constexpr ULONGLONG kIconDeadlineMs = 2000;
// A progress query that was never answered (the window went away) is given up after this.
constexpr ULONGLONG kQueryRetryMs = 1000;
// While a box is open its program answers from the box's own message loop; a reading of the
// progress bar taken then waits this long for each answer.
constexpr UINT kBoxTimeReadMs = 1000;
// Texts are read on every poll; the costlier looks (the process list, the progress bar's
// values, which need a message to the program, and memory) are taken less often.
constexpr ULONGLONG kTreeRefreshMs = 50;
constexpr ULONGLONG kProgressQueryMs = 25;
constexpr ULONGLONG kMemorySampleMs = 50;
constexpr DWORD kKillWaitMs = 5000;

enum HarnessExit {
  kExitRan = 0,
  kExitTimedOut = 1,
  kExitUsage = 2,
  kExitLaunchFailed = 3,
  kExitRecordFailed = 4
};

struct ButtonName {
  const wchar_t* name;
  int id;
};
constexpr ButtonName kButtonNames[] = {
    {L"ok", IDOK},         {L"cancel", IDCANCEL}, {L"abort", IDABORT}, {L"retry", IDRETRY},
    {L"ignore", IDIGNORE}, {L"yes", IDYES},       {L"no", IDNO},
};

int ButtonIdFromName(const std::wstring& name) {
  for (const auto& b : kButtonNames) {
    if (_wcsicmp(b.name, name.c_str()) == 0) {
      return b.id;
    }
  }
  return 0;
}

const wchar_t* ButtonNameFromId(int id) {
  for (const auto& b : kButtonNames) {
    if (b.id == id) {
      return b.name;
    }
  }
  return L"other";
}

struct AnswerRule {
  std::wstring pattern;
  int button;
};

struct Options {
  std::wstring recordPath;
  std::wstring cwd;
  std::vector<std::pair<std::wstring, std::wstring>> setEnv;
  std::vector<std::wstring> removeEnv;
  std::vector<AnswerRule> answers;
  int defaultAnswer = 0;  // 0: the box's safe default (No when there is one, else OK)
  std::wstring escapeWhen;
  // Boxes wait unanswered until this file exists; once a box is waiting, boxSeenFile is made,
  // so that a test can act while the program under test is held inside its box.
  std::wstring holdAnswersUntil;
  std::wstring boxSeenFile;
  // (text, file): the file is made once every text that names it has been recorded in the
  // progress dialog (and after Escape was pressed, when --escape-when matched that text).
  std::vector<std::pair<std::wstring, std::wstring>> seenFiles;
  DWORD timeoutMs = kDefaultTimeoutMs;
  std::wstring exe;
  std::vector<std::wstring> args;
  std::optional<std::wstring> rawArgs;
  std::optional<std::wstring> rawCommandLine;
  // A window station of this name, with a desktop of the same name, that nobody sees: the
  // program starts there, as programs that a service starts do. None of its windows can be seen
  // or answered from here.
  std::wstring hiddenStation;
  // Once the program is made and before it runs, its file is renamed away and this file copied
  // to its path: the file at the program's path is then not the program that runs.
  std::wstring swapBeforeStart;
};

// Says what is wrong and how the harness is called; false, for the caller to return.
bool Usage(const wchar_t* problem) {
  std::fwprintf(stderr, L"runharness: %ls\n", problem);
  std::fwprintf(stderr,
                L"usage: runharness.exe [--record FILE] [--cwd DIR] [--env NAME=VALUE]...\n"
                L"         [--env-remove NAME]... [--answer PATTERN=BUTTON]...\n"
                L"         [--default-answer BUTTON] [--escape-when TEXT] [--timeout-ms N]\n"
                L"         [--hold-answers-until FILE] [--box-seen-file FILE]\n"
                L"         [--seen-file TEXT=FILE]...\n"
                L"         [--raw-args TEXT | --raw-cmdline TEXT]\n"
                L"         [--hidden-station NAME] [--swap-before-start FILE]\n"
                L"         -- EXE [ARGS...]\n"
                L"       runharness.exe --args-file FILE\n");
  return false;
}

bool ParseOptions(std::vector<std::wstring> argv, Options& o) {
  if (argv.size() == 2 && argv[0] == L"--args-file") {
    std::vector<std::wstring> fromFile;
    if (!harness::ReadArgumentFile(argv[1], fromFile)) {
      return Usage(L"cannot read the argument file");
    }
    argv = std::move(fromFile);
  }
  size_t i = 0;
  auto value = [&](std::wstring& out) {
    if (i + 1 >= argv.size()) {
      return Usage((L"missing value after " + argv[i]).c_str());
    }
    out = argv[++i];
    return true;
  };
  // The options that take their value as it stands.
  const std::pair<const wchar_t*, std::wstring*> texts[] = {
      {L"--record", &o.recordPath},
      {L"--cwd", &o.cwd},
      {L"--escape-when", &o.escapeWhen},
      {L"--hold-answers-until", &o.holdAnswersUntil},
      {L"--box-seen-file", &o.boxSeenFile},
      {L"--hidden-station", &o.hiddenStation},
      {L"--swap-before-start", &o.swapBeforeStart},
  };
  for (; i < argv.size(); ++i) {
    const std::wstring& a = argv[i];
    std::wstring v;
    const auto text = std::find_if(std::begin(texts), std::end(texts),
                                   [&](const auto& t) { return a == t.first; });
    if (a == L"--") {
      ++i;
      break;
    } else if (!value(v)) {
      return false;
    } else if (text != std::end(texts)) {
      *text->second = v;
    } else if (a == L"--env") {
      size_t eq = v.find(L'=');
      if (eq == std::wstring::npos || eq == 0) {
        return Usage(L"--env needs NAME=VALUE");
      }
      o.setEnv.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == L"--env-remove") {
      o.removeEnv.push_back(v);
    } else if (a == L"--answer") {
      // The last '=' splits, so a pattern may itself contain '='.
      size_t eq = v.rfind(L'=');
      int id = eq == std::wstring::npos ? 0 : ButtonIdFromName(v.substr(eq + 1));
      if (id == 0 || eq == 0) {
        return Usage(L"--answer needs PATTERN=ok|cancel|yes|no|abort|retry|ignore");
      }
      o.answers.push_back({v.substr(0, eq), id});
    } else if (a == L"--default-answer") {
      o.defaultAnswer = ButtonIdFromName(v);
      if (o.defaultAnswer == 0) {
        return Usage(L"unknown button for --default-answer");
      }
    } else if (a == L"--seen-file") {
      size_t eq = v.rfind(L'=');
      if (eq == std::wstring::npos || eq == 0 || eq + 1 == v.size()) {
        return Usage(L"--seen-file needs TEXT=FILE");
      }
      o.seenFiles.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == L"--timeout-ms") {
      std::uint32_t n = 0;
      if (!harness::ParseUnsigned32(v, n) || n == 0) {
        return Usage(L"bad number for --timeout-ms");
      }
      o.timeoutMs = n;
    } else if (a == L"--raw-args") {
      o.rawArgs = v;
    } else if (a == L"--raw-cmdline") {
      o.rawCommandLine = v;
    } else {
      return Usage((L"unknown option " + a).c_str());
    }
  }
  if (i >= argv.size()) {
    return Usage(L"no program after --");
  }
  o.exe = argv[i];
  o.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
  if ((o.rawArgs || o.rawCommandLine) && !o.args.empty()) {
    return Usage(L"--raw-args and --raw-cmdline take the place of arguments after the program");
  }
  if (o.rawArgs && o.rawCommandLine) {
    return Usage(L"--raw-args and --raw-cmdline exclude each other");
  }
  return true;
}

std::wstring CommandLineFor(const Options& o) {
  if (o.rawCommandLine) {
    return *o.rawCommandLine;
  }
  if (o.rawArgs) {
    return L"\"" + o.exe + L"\"" + (o.rawArgs->empty() ? L"" : L" " + *o.rawArgs);
  }
  return harness::BuildCommandLine(o.exe, o.args);
}

// The child's environment: the harness's own, with the requested names replaced or removed.
// Names compare without case, as Windows does; the block is kept sorted the way Windows keeps it.
std::vector<wchar_t> EnvironmentFor(const Options& o) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
      entries.emplace_back(p);
    }
    FreeEnvironmentStringsW(block);
  }
  auto nameOf = [](const std::wstring& entry) {
    // Entries such as "=C:=C:\dir" have a name that starts with '='.
    size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
  };
  auto drop = [&](const std::wstring& name) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const std::wstring& e) {
                                   return _wcsicmp(nameOf(e).c_str(), name.c_str()) == 0;
                                 }),
                  entries.end());
  };
  for (const auto& name : o.removeEnv) {
    drop(name);
  }
  for (const auto& kv : o.setEnv) {
    drop(kv.first);
    entries.push_back(kv.first + L"=" + kv.second);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const std::wstring& a, const std::wstring& b) {
                     return _wcsicmp(nameOf(a).c_str(), nameOf(b).c_str()) < 0;
                   });
  std::vector<wchar_t> block;
  for (const auto& e : entries) {
    block.insert(block.end(), e.begin(), e.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

std::wstring WindowText(HWND hwnd) {
  // For another process's window this reads the text Windows keeps for it and sends nothing,
  // so a program that is busy and not pumping messages cannot stall the harness.
  int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  int got = GetWindowTextW(hwnd, &text[0], static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return name;
}

bool IsProgressDialog(HWND hwnd) {
  if (!hwnd || ClassOf(hwnd) != L"#32770") {
    return false;
  }
  HWND bar = GetDlgItem(hwnd, kProgressBarId);
  return bar && _wcsicmp(ClassOf(bar).c_str(), PROGRESS_CLASSW) == 0;
}

ULONGLONG Now() { return GetTickCount64(); }

// ----------------------------------------------------------------------------------------------
// The process tree: the main child and everything it starts.

struct TrackedProcess {
  DWORD pid = 0;
  std::wstring exe;
  bool main = false;
  bool exited = false;
  UniqueHandle handle;
};

class ProcessTree {
 public:
  void AddMain(DWORD pid, HANDLE job) {
    job_ = job;
    auto p = std::make_unique<TrackedProcess>();
    p->pid = pid;
    p->main = true;
    p->handle.Reset(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    byPid_[pid] = p.get();
    all_.push_back(std::move(p));
    Refresh();
  }

  // A process joins when its parent is a live member (Toolhelp) or when the job lists it (which
  // also catches a grandchild whose parent ended before a snapshot saw it). A member that has
  // ended no longer adopts children, because its pid may be reused.
  void Refresh() {
    for (auto& p : all_) {
      if (!p->exited && p->handle.Valid() &&
          WaitForSingleObject(p->handle.Get(), 0) == WAIT_OBJECT_0) {
        p->exited = true;
      }
    }
    std::vector<PROCESSENTRY32W> entries;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32W e{};
      e.dwSize = sizeof e;
      for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e)) {
        entries.push_back(e);
      }
      CloseHandle(snap);
    }
    std::set<DWORD> jobPids = JobPids();
    for (bool added = true; added;) {
      added = false;
      for (const auto& e : entries) {
        auto known = byPid_.find(e.th32ProcessID);
        if (known != byPid_.end()) {
          if (!known->second->exited && known->second->exe.empty()) {
            known->second->exe = e.szExeFile;
          }
          continue;
        }
        auto parent = byPid_.find(e.th32ParentProcessID);
        bool childOfLive = parent != byPid_.end() && !parent->second->exited;
        if (childOfLive || jobPids.count(e.th32ProcessID)) {
          auto p = std::make_unique<TrackedProcess>();
          p->pid = e.th32ProcessID;
          p->exe = e.szExeFile;
          p->handle.Reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                      FALSE, p->pid));
          byPid_[p->pid] = p.get();
          all_.push_back(std::move(p));
          added = true;
        }
      }
    }
  }

  bool IsLiveMember(DWORD pid) const {
    auto it = byPid_.find(pid);
    return it != byPid_.end() && !it->second->exited;
  }
  bool IsMain(DWORD pid) const {
    auto it = byPid_.find(pid);
    return it != byPid_.end() && it->second->main;
  }
  const std::vector<std::unique_ptr<TrackedProcess>>& All() const { return all_; }

 private:
  std::set<DWORD> JobPids() const {
    std::set<DWORD> pids;
    if (!job_) {
      return pids;
    }
    struct {
      JOBOBJECT_BASIC_PROCESS_ID_LIST list;
      ULONG_PTR more[255];
    } info{};
    info.list.NumberOfAssignedProcesses = 256;
    if (QueryInformationJobObject(job_, JobObjectBasicProcessIdList, &info, sizeof info, nullptr)) {
      for (DWORD k = 0; k < info.list.NumberOfProcessIdsInList && k < 256; ++k) {
        pids.insert(static_cast<DWORD>(info.list.ProcessIdList[k]));
      }
    }
    return pids;
  }

  HANDLE job_ = nullptr;
  std::vector<std::unique_ptr<TrackedProcess>> all_;
  std::map<DWORD, TrackedProcess*> byPid_;
};

// ----------------------------------------------------------------------------------------------
// Icons: under Wine an icon handle cannot be read from another process, so the box's icon control
// is read back from the screen and compared with each system icon drawn the same way.

struct IconReference {
  const wchar_t* kind;
  LPCWSTR id;
};
const IconReference kIcons[] = {
    {L"error", IDI_HAND},
    {L"warning", IDI_EXCLAMATION},
    {L"information", IDI_ASTERISK},
    {L"question", IDI_QUESTION},
};
constexpr size_t kIconCount = sizeof kIcons / sizeof kIcons[0];

struct IconReading {
  bool decided = false;
  std::wstring kind;  // error, warning, information, question, none, unknown
  bool blank = true;  // nothing but background in the control's area
};

// Draws `icon` (or nothing) on the background colour into a 32-bit top-down bitmap and returns
// its pixels without the unused top byte.
std::vector<DWORD> Render(HDC screen, int w, int h, COLORREF background, HICON icon,
                          const RECT* captureFrom) {
  std::vector<DWORD> pixels;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (mem && dib && bits) {
    HGDIOBJ old = SelectObject(mem, dib);
    if (captureFrom) {
      BitBlt(mem, 0, 0, w, h, screen, captureFrom->left, captureFrom->top, SRCCOPY);
    } else {
      RECT all{0, 0, w, h};
      HBRUSH brush = CreateSolidBrush(background);
      FillRect(mem, &all, brush);
      DeleteObject(brush);
      if (icon) {
        DrawIconEx(mem, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
      }
    }
    GdiFlush();
    const DWORD* p = static_cast<const DWORD*>(bits);
    pixels.assign(p, p + static_cast<size_t>(w) * static_cast<size_t>(h));
    for (auto& px : pixels) {
      px &= 0x00FFFFFF;
    }
    SelectObject(mem, old);
  }
  if (dib) DeleteObject(dib);
  if (mem) DeleteDC(mem);
  return pixels;
}

void ReadIcon(HWND iconControl, IconReading& r) {
  RECT rc{};
  if (!GetWindowRect(iconControl, &rc)) {
    return;
  }
  int w = rc.right - rc.left;
  int h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0 || w > 256 || h > 256) {
    return;
  }
  HDC screen = GetDC(nullptr);
  // The dialog face just left of the control is the background the icon is drawn on.
  COLORREF background = GetPixel(screen, rc.left > 0 ? rc.left - 1 : rc.right, rc.top);
  std::vector<DWORD> shot = Render(screen, w, h, background, nullptr, &rc);
  std::vector<DWORD> empty = Render(screen, w, h, background, nullptr, nullptr);
  const long pixels = w * h;
  r.blank = shot == empty;
  long best = -1;
  size_t bestIndex = 0;
  for (size_t k = 0; k < kIconCount; ++k) {
    HICON icon = LoadIconW(nullptr, kIcons[k].id);  // shared system icon: never destroyed
    std::vector<DWORD> ref = Render(screen, w, h, background, icon, nullptr);
    long diff = 0;
    for (size_t px = 0; px < shot.size() && px < ref.size(); ++px) {
      diff += shot[px] != ref[px];
    }
    if (best < 0 || diff < best) {
      best = diff;
      bestIndex = k;
    }
  }
  ReleaseDC(nullptr, screen);
  // The right icon matches exactly; the others differ in most of their pixels. A small margin
  // absorbs a cursor or an edge pixel.
  if (!r.blank && best >= 0 && best <= std::max(4L, pixels / 64)) {
    r.decided = true;
    r.kind = kIcons[bestIndex].kind;
  }
}

// ----------------------------------------------------------------------------------------------
// What is recorded.

struct ButtonRecord {
  int id;
  std::wstring text;
  HWND hwnd;
};

struct BoxRecord {
  HWND hwnd = nullptr;
  ULONGLONG visibleSince = 0;
  std::wstring caption;
  std::wstring text;
  std::vector<ButtonRecord> buttons;
  bool hasOwner = false;
  bool ownerIsDialog = false;
  DWORD pid = 0;
  bool mainProcess = false;
  IconReading icon;
  int answerId = 0;
  std::wstring answerRule;  // pattern, default-answer, box-default, none
  bool closedByProgram = false;
};

struct TextEvent {
  int control;
  std::wstring text;
  ULONGLONG ms;
};

struct DialogRecord {
  bool seen = false;
  bool everVisible = false;
  bool visibleLast = false;
  int instances = 0;
  std::wstring title;
  std::wstring lastMain;
  std::wstring lastDetail;
  std::vector<std::wstring> mainTexts;
  std::vector<std::wstring> detailTexts;
  std::vector<TextEvent> events;
  bool haveRect = false;
  bool rectWhileVisible = false;
  RECT rect{};
  RECT workArea{};
  bool haveLow = false, haveHigh = false, havePos = false;
  DWORD rangeLow = 0, rangeHigh = 0, pos = 0, maxPos = 0;
  bool escapeSent = false;
  std::wstring escapeTarget;
};

struct OtherWindow {
  std::wstring cls;
  std::wstring caption;
};

struct ChildWindow {
  std::wstring cls;
  int id;
  std::wstring text;
  bool visible;
};

struct WindowSnapshot {
  std::wstring cls;
  std::wstring caption;
  DWORD pid;
  std::vector<ChildWindow> children;
};

// ----------------------------------------------------------------------------------------------

class Recorder;
Recorder* g_recorder = nullptr;  // the one recorder; reached from the SendMessageCallback proc

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* list = reinterpret_cast<std::vector<ChildWindow>*>(param);
  list->push_back(
      {ClassOf(child), GetDlgCtrlID(child), WindowText(child), IsWindowVisible(child) != FALSE});
  return TRUE;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  auto* list = reinterpret_cast<std::vector<ButtonRecord>*>(param);
  if (_wcsicmp(ClassOf(child).c_str(), L"Button") == 0 && IsWindowVisible(child)) {
    list->push_back({GetDlgCtrlID(child), WindowText(child), child});
  }
  return TRUE;
}

struct TreeWindowSearch {
  const ProcessTree* tree;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTreeWindow(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<TreeWindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (search->tree->IsLiveMember(pid)) {
    search->found.push_back(hwnd);
  }
  return TRUE;
}

void CALLBACK ProgressAnswer(HWND hwnd, UINT msg, ULONG_PTR data, LRESULT result);

class Recorder {
 public:
  Recorder(const Options& options, ProcessTree& tree, ULONGLONG start)
      : o_(options), tree_(tree), start_(start) {
    g_recorder = this;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &dialog_.workArea, 0);
  }

  void Scan() {
    std::vector<HWND> windows = TreeWindows();
    std::set<HWND> present(windows.begin(), windows.end());
    for (HWND hwnd : windows) {
      std::wstring cls = ClassOf(hwnd);
      if (cls == L"#32770") {
        if (IsProgressDialog(hwnd)) {
          WatchDialog(hwnd);
        } else {
          WatchBox(hwnd);
        }
      } else if (IsWindowVisible(hwnd) && !others_.count(hwnd)) {
        others_[hwnd] = {cls, WindowText(hwnd)};
        otherOrder_.push_back(hwnd);
      }
    }
    // A box that went away before it was answered was closed by its program (or its
    // process ended); it is recorded as it was seen.
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (!present.count(it->first) || !IsWindow(it->first)) {
        it->second.closedByProgram = true;
        Finish(it->second);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = answered_.begin(); it != answered_.end();) {
      it = IsWindow(*it) ? std::next(it) : answered_.erase(it);
    }
  }

  void FinishPending() {
    for (auto& kv : pending_) {
      kv.second.closedByProgram = !IsWindow(kv.first);
      Finish(kv.second);
    }
    pending_.clear();
  }

  std::vector<WindowSnapshot> VisibleWindows() const {
    std::vector<WindowSnapshot> out;
    for (HWND hwnd : TreeWindows()) {
      if (!IsWindowVisible(hwnd)) {
        continue;
      }
      WindowSnapshot s;
      s.cls = ClassOf(hwnd);
      s.caption = WindowText(hwnd);
      GetWindowThreadProcessId(hwnd, &s.pid);
      EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&s.children));
      out.push_back(std::move(s));
    }
    return out;
  }

  void OnQueryAnswer(HWND bar, UINT msg, ULONG_PTR data, LRESULT result) {
    if (outstanding_ > 0) {
      --outstanding_;
    }
    // An answer to a query sent before the last reading taken in front of a box is older than
    // that reading, however late it arrives.
    if (bar != currentBar_ || !IsWindow(bar) || data / kQueryKinds < lastBoxTimeSerial_) {
      return;
    }
    ApplyProgress(msg, data % kQueryKinds, static_cast<DWORD>(result));
  }

  // Runs just before each box is answered, while the box still holds its program.
  void SetBeforeAnswer(std::function<void()> action) { beforeAnswer_ = std::move(action); }

  void Write(JsonWriter& j) const;

 private:
  static constexpr ULONG_PTR kQueryKinds = 3;  // low bound, high bound, position

  void ApplyProgress(UINT msg, ULONG_PTR kind, DWORD value) {
    if (msg == PBM_GETRANGE && kind == 0) {
      dialog_.rangeLow = value;
      dialog_.haveLow = true;
    } else if (msg == PBM_GETRANGE) {
      dialog_.rangeHigh = value;
      dialog_.haveHigh = true;
    } else if (msg == PBM_GETPOS) {
      dialog_.pos = value;
      dialog_.maxPos = dialog_.havePos ? std::max(dialog_.maxPos, value) : value;
      dialog_.havePos = true;
    }
  }

  std::vector<HWND> TreeWindows() const {
    TreeWindowSearch search{&tree_, {}};
    EnumWindows(CollectTreeWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  ULONGLONG Elapsed() const { return Now() - start_; }

  void NoteText(int control, const std::wstring& text) {
    std::wstring& last = control == kMainTextId ? dialog_.lastMain : dialog_.lastDetail;
    if (text == last) {
      return;
    }
    last = text;
    (control == kMainTextId ? dialog_.mainTexts : dialog_.detailTexts).push_back(text);
    dialog_.events.push_back({control, text, Elapsed()});
  }

  // A control that goes away while it is read gives an empty text that the program never set:
  // only a read from a control that still exists afterwards counts.
  void NoteControlText(HWND dlg, int id) {
    HWND control = GetDlgItem(dlg, id);
    if (control == nullptr) {
      return;
    }
    const std::wstring text = WindowText(control);
    if (IsWindow(control) && IsWindow(dlg)) {
      NoteText(id, text);
    }
  }

  void WatchDialog(HWND dlg) {
    if (!dialogs_.count(dlg)) {
      dialogs_.insert(dlg);
      ++dialog_.instances;
    }
    dialog_.seen = true;
    bool visible = IsWindowVisible(dlg) != FALSE;
    dialog_.visibleLast = visible;
    dialog_.everVisible = dialog_.everVisible || visible;
    // The title read while the dialog is destroyed is empty; only a read from a live window
    // counts.
    const std::wstring title = WindowText(dlg);
    if (IsWindow(dlg)) {
      dialog_.title = title;
    }
    RECT rc{};
    // Once the dialog has been seen on screen, its place there is what counts, not where a
    // later hidden state leaves it.
    if (GetWindowRect(dlg, &rc) && (visible || !dialog_.rectWhileVisible)) {
      dialog_.rect = rc;
      dialog_.haveRect = true;
      dialog_.rectWhileVisible = visible;
    }
    NoteControlText(dlg, kMainTextId);
    NoteControlText(dlg, kDetailTextId);
    QueryProgress(GetDlgItem(dlg, kProgressBarId));
    MaybeSendEscape(dlg);
    // After Escape: a test that waits for the file knows that Escape has been pressed.
    MakeSeenFiles();
  }

  // The bar's range and position can only be had by a message to the program's thread, which
  // may be busy for a long time; the answers arrive later through the callback, so the
  // harness never waits on the program.
  void QueryProgress(HWND bar) {
    if (bar != currentBar_) {
      currentBar_ = bar;
      outstanding_ = 0;
    }
    ULONGLONG sinceLast = Now() - lastQuery_;
    if (sinceLast < kProgressQueryMs || (outstanding_ > 0 && sinceLast < kQueryRetryMs)) {
      return;
    }
    outstanding_ = 0;
    lastQuery_ = Now();
    SENDASYNCPROC proc = ProgressAnswer;
    const ULONG_PTR serial = ++querySerial_ * kQueryKinds;
    if (SendMessageCallbackW(bar, PBM_GETRANGE, TRUE, 0, proc, serial)) ++outstanding_;
    if (SendMessageCallbackW(bar, PBM_GETRANGE, FALSE, 0, proc, serial + 1)) ++outstanding_;
    if (SendMessageCallbackW(bar, PBM_GETPOS, 0, 0, proc, serial + 2)) ++outstanding_;
  }

  // The whole progress dialog, read while its program waits in a box: the texts and the bar as
  // the box found them. Nothing the program showed before the box can be missed by the time the
  // box is answered, however busy the machine was while it showed it.
  void ReadDialogsAtBox() {
    for (HWND hwnd : TreeWindows()) {
      if (!IsProgressDialog(hwnd)) {
        continue;
      }
      WatchDialog(hwnd);
      HWND bar = GetDlgItem(hwnd, kProgressBarId);
      currentBar_ = bar;
      lastBoxTimeSerial_ = ++querySerial_;
      const struct {
        UINT msg;
        WPARAM wParam;
      } queries[kQueryKinds] = {{PBM_GETRANGE, TRUE}, {PBM_GETRANGE, FALSE}, {PBM_GETPOS, 0}};
      for (ULONG_PTR kind = 0; kind < kQueryKinds; ++kind) {
        DWORD_PTR value = 0;
        if (SendMessageTimeoutW(bar, queries[kind].msg, queries[kind].wParam, 0, SMTO_ABORTIFHUNG,
                                kBoxTimeReadMs, &value)) {
          ApplyProgress(queries[kind].msg, kind, static_cast<DWORD>(value));
        }
      }
    }
  }

  // A file of --seen-file is made once every text that names it is among the recorded ones.
  void MakeSeenFiles() {
    auto recorded = [&](const std::wstring& pattern) {
      auto contains = [&](const std::wstring& text) {
        return text.find(pattern) != std::wstring::npos;
      };
      return std::any_of(dialog_.mainTexts.begin(), dialog_.mainTexts.end(), contains) ||
             std::any_of(dialog_.detailTexts.begin(), dialog_.detailTexts.end(), contains);
    };
    for (const auto& entry : o_.seenFiles) {
      const std::wstring& file = entry.second;
      if (madeSeenFiles_.count(file)) {
        continue;
      }
      const bool all = std::all_of(o_.seenFiles.begin(), o_.seenFiles.end(), [&](const auto& e) {
        return e.second != file || recorded(e.first);
      });
      if (all) {
        harness::TouchFile(file);
        madeSeenFiles_.insert(file);
      }
    }
  }

  // Escape goes to the control that has the keyboard focus, as a key press would, so that the
  // program's IsDialogMessageW turns it into IDCANCEL.
  void MaybeSendEscape(HWND dlg) {
    if (o_.escapeWhen.empty() || dialog_.escapeSent) {
      return;
    }
    if (dialog_.lastMain.find(o_.escapeWhen) == std::wstring::npos &&
        dialog_.lastDetail.find(o_.escapeWhen) == std::wstring::npos) {
      return;
    }
    HWND target = nullptr;
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    DWORD tid = GetWindowThreadProcessId(dlg, nullptr);
    if (GetGUIThreadInfo(tid, &gti) && gti.hwndFocus &&
        (gti.hwndFocus == dlg || IsChild(dlg, gti.hwndFocus))) {
      target = gti.hwndFocus;
      dialog_.escapeTarget =
          L"focus:" + ClassOf(target) + L":" + std::to_wstring(GetDlgCtrlID(target));
    } else {
      // No focus inside the dialog (a hidden dialog, or another window is active): the
      // progress bar is where the program puts the focus.
      target = GetDlgItem(dlg, kProgressBarId);
      dialog_.escapeTarget = L"progress-bar";
    }
    const LPARAM down = 0x00010001;  // repeat count 1, scan code of Escape
    const LPARAM up = static_cast<LPARAM>(0xC0010001u);
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, up);
    dialog_.escapeSent = true;
  }

  void WatchBox(HWND box) {
    if (answered_.count(box)) {
      return;
    }
    auto it = pending_.find(box);
    if (it == pending_.end()) {
      // A box is filled in before it is shown; until then its texts are not final.
      if (!IsWindowVisible(box)) {
        return;
      }
      BoxRecord r;
      r.hwnd = box;
      r.visibleSince = Now();
      ReadBox(box, r);
      it = pending_.emplace(box, std::move(r)).first;
    }
    BoxRecord& r = it->second;
    if (!r.icon.decided) {
      DecideIcon(box, r);
    }
    if (r.icon.decided && !o_.boxSeenFile.empty()) {
      harness::TouchFile(o_.boxSeenFile);
    }
    if (r.icon.decided && !o_.holdAnswersUntil.empty() && !harness::Exists(o_.holdAnswersUntil)) {
      return;
    }
    if (r.icon.decided) {
      ReadDialogsAtBox();
      if (beforeAnswer_) {
        beforeAnswer_();
      }
      Answer(r);
      answered_.insert(box);
      Finish(r);
      pending_.erase(it);
    }
  }

  void ReadBox(HWND box, BoxRecord& r) {
    r.caption = WindowText(box);
    r.text = WindowText(GetDlgItem(box, kBoxTextId));
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&r.buttons));
    HWND owner = GetWindow(box, GW_OWNER);
    r.hasOwner = owner != nullptr;
    r.ownerIsDialog = IsProgressDialog(owner);
    GetWindowThreadProcessId(box, &r.pid);
    r.mainProcess = tree_.IsMain(r.pid);
  }

  void DecideIcon(HWND box, BoxRecord& r) {
    HWND iconControl = GetDlgItem(box, kBoxIconId);
    if (!iconControl || !IsWindowVisible(iconControl)) {
      r.icon.decided = true;
      r.icon.kind = L"none";
      return;
    }
    // A box without an icon still has the control, with no icon set in it.
    DWORD_PTR icon = 0;
    if (SendMessageTimeoutW(iconControl, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 500, &icon) &&
        icon == 0) {
      r.icon.decided = true;
      r.icon.kind = L"none";
      return;
    }
    ReadIcon(iconControl, r.icon);
    if (!r.icon.decided && Now() - r.visibleSince > kIconDeadlineMs) {
      r.icon.decided = true;
      r.icon.kind = r.icon.blank ? L"none" : L"unknown";
    }
  }

  void Answer(BoxRecord& r) {
    int id = 0;
    for (const auto& rule : o_.answers) {
      if (r.caption.find(rule.pattern) != std::wstring::npos ||
          r.text.find(rule.pattern) != std::wstring::npos) {
        id = rule.button;
        r.answerRule = L"pattern";
        break;
      }
    }
    auto has = [&](int button) {
      return std::any_of(r.buttons.begin(), r.buttons.end(),
                         [&](const ButtonRecord& b) { return b.id == button; });
    };
    if (id == 0 && o_.defaultAnswer != 0) {
      id = o_.defaultAnswer;
      r.answerRule = L"default-answer";
    }
    if (id == 0) {
      // The answer that changes nothing: No to a question, otherwise OK or Cancel.
      r.answerRule = L"box-default";
      id = has(IDNO)           ? IDNO
           : has(IDOK)         ? IDOK
           : has(IDCANCEL)     ? IDCANCEL
           : r.buttons.empty() ? IDOK
                               : r.buttons.front().id;
    }
    r.answerId = id;
    HWND button = nullptr;
    for (const auto& b : r.buttons) {
      if (b.id == id) button = b.hwnd;
    }
    // Posted, not sent: the box's thread ends the dialog when it reads it, and the harness
    // never blocks on a program that has stopped responding.
    PostMessageW(r.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  }

  void Finish(BoxRecord& r) { boxes_.push_back(r); }

  const Options& o_;
  ProcessTree& tree_;
  ULONGLONG start_;
  DialogRecord dialog_;
  std::set<HWND> dialogs_;
  HWND currentBar_ = nullptr;
  int outstanding_ = 0;
  ULONGLONG lastQuery_ = 0;
  ULONG_PTR querySerial_ = 0;
  ULONG_PTR lastBoxTimeSerial_ = 0;
  std::set<std::wstring> madeSeenFiles_;
  std::function<void()> beforeAnswer_;
  std::map<HWND, BoxRecord> pending_;
  std::set<HWND> answered_;
  std::vector<BoxRecord> boxes_;
  std::map<HWND, OtherWindow> others_;
  std::vector<HWND> otherOrder_;
};

void CALLBACK ProgressAnswer(HWND hwnd, UINT msg, ULONG_PTR data, LRESULT result) {
  g_recorder->OnQueryAnswer(hwnd, msg, data, result);
}

void WriteRect(JsonWriter& j, const RECT& r) {
  j.BeginObject();
  j.Key("left").Number(r.left).Key("top").Number(r.top);
  j.Key("right").Number(r.right).Key("bottom").Number(r.bottom);
  j.EndObject();
}

void Recorder::Write(JsonWriter& j) const {
  j.Key("boxes").BeginArray();
  for (const auto& b : boxes_) {
    j.BeginObject();
    j.Key("caption").String(b.caption);
    j.Key("text").String(b.text);
    j.Key("icon").String(b.icon.kind.empty() ? L"unknown" : b.icon.kind);
    j.Key("buttons").BeginArray();
    for (const auto& button : b.buttons) j.String(button.text);
    j.EndArray();
    j.Key("button_ids").BeginArray();
    for (const auto& button : b.buttons) j.Number(button.id);
    j.EndArray();
    j.Key("has_owner").Bool(b.hasOwner);
    j.Key("owner_is_dialog").Bool(b.ownerIsDialog);
    j.Key("pid").Unsigned(b.pid).Key("main_process").Bool(b.mainProcess).Key("answer");
    b.answerId ? j.String(ButtonNameFromId(b.answerId)) : j.Null();
    j.Key("answer_rule").String(b.answerRule.empty() ? L"none" : b.answerRule);
    j.Key("closed_by_program").Bool(b.closedByProgram).EndObject();
  }
  j.EndArray();

  const DialogRecord& d = dialog_;
  j.Key("dialog").BeginObject();
  j.Key("seen").Bool(d.seen);
  j.Key("ever_visible").Bool(d.everVisible);
  j.Key("visible_last").Bool(d.visibleLast);
  j.Key("instances").Number(d.instances);
  j.Key("title").String(d.title);
  j.Key("main_texts").BeginArray();
  for (const auto& t : d.mainTexts) j.String(t);
  j.EndArray();
  j.Key("detail_texts").BeginArray();
  for (const auto& t : d.detailTexts) j.String(t);
  j.EndArray();
  j.Key("events").BeginArray();
  for (const auto& e : d.events) {
    j.BeginObject().Key("control").Number(e.control).Key("text").String(e.text);
    j.Key("ms").Unsigned(e.ms).EndObject();
  }
  j.EndArray();
  j.Key("progress").BeginObject();
  auto maybe = [&](const char* key, bool have, DWORD value) {
    j.Key(key);
    have ? j.Unsigned(value) : j.Null();
  };
  maybe("range_low", d.haveLow, d.rangeLow);
  maybe("range_high", d.haveHigh, d.rangeHigh);
  maybe("pos", d.havePos, d.pos);
  maybe("max_pos", d.havePos, d.maxPos);
  j.EndObject();
  j.Key("rect");
  d.haveRect ? WriteRect(j, d.rect) : (void)j.Null();
  j.Key("work_area");
  WriteRect(j, d.workArea);
  j.Key("escape_sent").Bool(d.escapeSent);
  j.Key("escape_target").String(d.escapeTarget);
  j.EndObject();

  j.Key("other_windows").BeginArray();
  for (HWND hwnd : otherOrder_) {
    const OtherWindow& w = others_.at(hwnd);
    j.BeginObject().Key("class").String(w.cls).Key("caption").String(w.caption).EndObject();
  }
  j.EndArray();
}

// ----------------------------------------------------------------------------------------------

// Sampled while the program runs: once a process has ended, Wine answers the query with zeros.
// Wine fills PagefileUsage and PeakPagefileUsage, and leaves PrivateUsage at 0.
// `peak` keeps the largest PeakPagefileUsage or PrivateUsage seen.
void SampleMemory(HANDLE process, SIZE_T& peak) {
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof pmc;
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                            sizeof pmc)) {
    return;
  }
  peak = std::max({peak, pmc.PeakPagefileUsage, pmc.PrivateUsage});
}

struct Killed {
  DWORD pid;
  std::wstring exe;
  bool main;
  bool ended;
};

// Ends every member of the tree; each end is confirmed by waiting on the process.
std::vector<Killed> KillTree(ProcessTree& tree, HANDLE job) {
  tree.Refresh();
  if (job) {
    TerminateJobObject(job, 1);
  }
  std::vector<Killed> killed;
  for (const auto& p : tree.All()) {
    if (p->exited || !p->handle.Valid()) {
      continue;
    }
    TerminateProcess(p->handle.Get(), 1);
    bool ended = WaitForSingleObject(p->handle.Get(), kKillWaitMs) == WAIT_OBJECT_0;
    killed.push_back({p->pid, p->exe, p->main, ended});
  }
  return killed;
}

struct Child {
  UniqueHandle job;
  UniqueHandle process;
  DWORD pid = 0;
  bool inJob = false;
  DWORD launchError = 0;
};

Child Launch(const Options& o, const std::wstring& commandLine) {
  Child child;
  std::vector<wchar_t> environment = EnvironmentFor(o);
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');

  // The job ends every process of the run if the harness itself dies; breakaway stays allowed
  // so a program that asks for it is not refused.
  child.job.Reset(CreateJobObjectW(nullptr, nullptr));
  if (child.job.Valid()) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(child.job.Get(), JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
  }
  // A bare name is searched for the way a command line would be; a path is used as given.
  bool isPath = o.exe.find_first_of(L"\\/:") != std::wstring::npos;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  std::wstring desktop;
  if (!o.hiddenStation.empty()) {
    // A station made without WSF_VISIBLE; a desktop is made on it while the harness is
    // attached to it. Both stay open until the harness ends.
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(o.hiddenStation.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    HDESK made = nullptr;
    if (station != nullptr && SetProcessWindowStation(station)) {
      made = CreateDesktopW(o.hiddenStation.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
      SetProcessWindowStation(own);
    }
    if (made == nullptr) {
      child.launchError = GetLastError();
      return child;
    }
    desktop = o.hiddenStation + L"\\" + o.hiddenStation;
    si.lpDesktop = desktop.data();
  }
  PROCESS_INFORMATION pi{};
  // Suspended until it is in the job, so that nothing it starts can escape the job. Wine, with
  // both cores busy, now and then fails a start with ERROR_INTERNAL_ERROR before any process
  // exists; nothing of the program ran then, so one more start is the same run.
  bool started = false;
  for (int attempt = 0; attempt < 2 && !started; ++attempt) {
    started = CreateProcessW(isPath ? o.exe.c_str() : nullptr, line.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, environment.data(),
                             o.cwd.empty() ? nullptr : o.cwd.c_str(), &si, &pi);
    child.launchError = started ? 0 : GetLastError();
    if (child.launchError != ERROR_INTERNAL_ERROR) {
      break;
    }
  }
  if (!started) {
    return child;
  }
  child.process.Reset(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  child.pid = pi.dwProcessId;
  child.inJob = child.job.Valid() && AssignProcessToJobObject(child.job.Get(), pi.hProcess);
  if (!o.swapBeforeStart.empty() &&
      (!MoveFileExW(o.exe.c_str(), (o.exe + L".running").c_str(), MOVEFILE_REPLACE_EXISTING) ||
       !CopyFileW(o.swapBeforeStart.c_str(), o.exe.c_str(), FALSE))) {
    std::fwprintf(stderr, L"runharness: cannot swap %ls: error %lu\n", o.exe.c_str(),
                  GetLastError());
  }
  ResumeThread(pi.hThread);
  return child;
}

bool WriteRecord(const std::wstring& path, const std::string& json) {
  // Written beside and renamed into place, so a reader never sees half a record.
  std::wstring temp = path + L".partial";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  BOOL wrote = WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
  CloseHandle(file);
  return wrote && written == json.size() &&
         MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Writes the record to --record FILE, or to standard output without one.
int Finish(const Options& o, const std::string& json, int exitCode) {
  if (o.recordPath.empty()) {
    harness::PrintLine(json);
  } else if (!WriteRecord(o.recordPath, json)) {
    std::fwprintf(stderr, L"runharness: cannot write the record to %ls\n", o.recordPath.c_str());
    return kExitRecordFailed;
  }
  return exitCode;
}

void WriteWindows(JsonWriter& j, const std::vector<WindowSnapshot>& windows) {
  j.BeginArray();
  for (const auto& w : windows) {
    j.BeginObject().Key("class").String(w.cls).Key("caption").String(w.caption);
    j.Key("pid").Unsigned(w.pid).Key("children").BeginArray();
    for (const auto& c : w.children) {
      j.BeginObject().Key("class").String(c.cls).Key("id").Number(c.id);
      j.Key("text").String(c.text).Key("visible").Bool(c.visible).EndObject();
    }
    j.EndArray().EndObject();
  }
  j.EndArray();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
  if (!ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc), o)) {
    return kExitUsage;
  }
  // The harness's own messages go to a Unix reader as UTF-8.
  SetConsoleOutputCP(CP_UTF8);
  // The thread needs a message queue before it can receive the progress bar's answers.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);

  std::wstring commandLine = CommandLineFor(o);
  ULONGLONG start = Now();
  Child child = Launch(o, commandLine);

  JsonWriter j;
  j.BeginObject();
  j.Key("command_line").String(commandLine);
  if (!child.process.Valid()) {
    j.Key("launch_error").Unsigned(child.launchError);
    j.Key("timed_out").Bool(false);
    j.EndObject();
    std::fwprintf(stderr, L"runharness: CreateProcessW failed with %lu\n", child.launchError);
    return Finish(o, j.Text(), kExitLaunchFailed);
  }

  ProcessTree tree;
  tree.AddMain(child.pid, child.inJob ? child.job.Get() : nullptr);
  Recorder recorder(o, tree, start);
  SIZE_T peakMemory = 0;
  // A box holds its program: what it has allocated by then is sampled before the answer.
  recorder.SetBeforeAnswer([&] { SampleMemory(child.process.Get(), peakMemory); });
  ULONGLONG lastSample = 0;
  ULONGLONG lastRefresh = Now();
  bool timedOut = false;
  ULONGLONG elapsed = 0;
  HANDLE waitOn = child.process.Get();
  for (;;) {
    DWORD r = MsgWaitForMultipleObjects(1, &waitOn, FALSE, kPollMs, QS_ALLINPUT);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&msg);
    }
    if (r == WAIT_OBJECT_0) {
      elapsed = Now() - start;
      break;
    }
    if (Now() - lastSample >= kMemorySampleMs) {
      SampleMemory(child.process.Get(), peakMemory);
      lastSample = Now();
    }
    if (Now() - lastRefresh >= kTreeRefreshMs) {
      tree.Refresh();
      lastRefresh = Now();
    }
    recorder.Scan();
    if (Now() - start >= o.timeoutMs) {
      timedOut = true;
      elapsed = Now() - start;
      break;
    }
  }

  DWORD exitCode = 0;
  std::vector<WindowSnapshot> windowsAtTimeout;
  std::vector<Killed> killed;
  if (timedOut) {
    windowsAtTimeout = recorder.VisibleWindows();
    recorder.FinishPending();
    killed = KillTree(tree, child.inJob ? child.job.Get() : nullptr);
  } else {
    // Boxes of descendants that outlive the main program are still on screen; one last
    // look records them.
    tree.Refresh();
    recorder.Scan();
    recorder.FinishPending();
    GetExitCodeProcess(child.process.Get(), &exitCode);
  }

  j.Key("launch_error").Null();
  j.Key("pid").Unsigned(child.pid);
  j.Key("timed_out").Bool(timedOut);
  if (timedOut) {
    j.Key("exit_code").Null();
    j.Key("exit_code_hex").Null();
  } else {
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%08lX", static_cast<unsigned long>(exitCode));
    j.Key("exit_code").Unsigned(exitCode);
    j.Key("exit_code_hex").String(hex);
  }
  j.Key("elapsed_ms").Unsigned(elapsed);
  j.Key("peak_private_bytes").Unsigned(peakMemory);

  j.Key("processes").BeginArray();
  for (const auto& p : tree.All()) {
    j.BeginObject().Key("pid").Unsigned(p->pid).Key("exe").String(p->exe);
    j.Key("main").Bool(p->main).EndObject();
  }
  j.EndArray();

  recorder.Write(j);

  j.Key("windows_at_timeout");
  WriteWindows(j, windowsAtTimeout);
  j.Key("killed").BeginArray();
  for (const auto& k : killed) {
    j.BeginObject().Key("pid").Unsigned(k.pid).Key("exe").String(k.exe);
    j.Key("main").Bool(k.main).Key("ended").Bool(k.ended).EndObject();
  }
  j.EndArray();
  j.EndObject();

  if (timedOut) {
    std::fwprintf(stderr, L"runharness: timed out after %lu ms; the process tree was ended\n",
                  static_cast<unsigned long>(o.timeoutMs));
  }
  return Finish(o, j.Text(), timedOut ? kExitTimedOut : kExitRan);
}

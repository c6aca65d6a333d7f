#include "support/MessageBoxAnswerer.h"

namespace testing_support {

namespace {

constexpr int kStaticTextId = 0xFFFF;
constexpr DWORD kPollMilliseconds = 10;

std::wstring WindowText(HWND window) {
  wchar_t text[2048] = {};
  GetWindowTextW(window, text, 2048);
  return text;
}

// Standard boxes are dialogs of class "#32770" with a static text control; the progress dialog
// of the bootstrapper is a dialog too, but has no such control.
BOOL CALLBACK CollectBox(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
      std::wstring(className) == L"#32770" && GetDlgItem(window, kStaticTextId) != nullptr) {
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  }
  return TRUE;
}

}  // namespace

MessageBoxAnswerer::MessageBoxAnswerer(int button) : button_(button), thread_([this] { Run(); }) {}

MessageBoxAnswerer::~MessageBoxAnswerer() {
  stop_ = true;
  thread_.join();
}

std::vector<SeenBox> MessageBoxAnswerer::Seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void MessageBoxAnswerer::Run() {
  while (!stop_) {
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    for (HWND box : boxes) {
      std::lock_guard<std::mutex> lock(mutex_);
      bool known = false;
      for (HWND done : answered_) {
        known = known || done == box;
      }
      if (known) {
        continue;
      }
      SeenBox seen;
      seen.caption = WindowText(box);
      seen.text = WindowText(GetDlgItem(box, kStaticTextId));
      seen.owned = GetWindow(box, GW_OWNER) != nullptr;
      seen.hasYes = GetDlgItem(box, IDYES) != nullptr;
      seen.hasNo = GetDlgItem(box, IDNO) != nullptr;
      seen_.push_back(seen);
      answered_.push_back(box);
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, button_)));
    }
    Sleep(kPollMilliseconds);
  }
}

}  // namespace testing_support

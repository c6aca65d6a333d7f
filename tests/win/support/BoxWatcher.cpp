#include "support/BoxWatcher.h"

namespace testing_support {

namespace {

constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconId = 0x0440;
constexpr DWORD kPollMs = 20;

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
      std::wstring(className) == L"#32770" && GetDlgItem(window, kBoxTextId) != nullptr) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

std::wstring TextOf(HWND window) {
  wchar_t text[2048] = {};
  GetWindowTextW(window, text, 2048);
  return text;
}

}  // namespace

BoxWatcher::BoxWatcher(int button, DWORD timeoutMs)
    : thread_([this, button, timeoutMs] { Watch(button, timeoutMs); }) {}

BoxWatcher::~BoxWatcher() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

SeenBox BoxWatcher::Result() {
  if (thread_.joinable()) {
    thread_.join();
  }
  return box_;
}

void BoxWatcher::Watch(int button, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  HWND box = nullptr;
  while (box == nullptr && GetTickCount() - start < timeoutMs) {
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr) {
      Sleep(kPollMs);
    }
  }
  if (box == nullptr) {
    return;
  }
  box_.seen = true;
  box_.caption = TextOf(box);
  box_.text = TextOf(GetDlgItem(box, kBoxTextId));
  box_.owner = GetWindow(box, GW_OWNER);
  box_.icon = reinterpret_cast<HICON>(SendDlgItemMessageW(box, kBoxIconId, STM_GETICON, 0, 0));
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

}  // namespace testing_support

#include "support/MessageBoxRecorder.h"

#include <algorithm>

namespace testing_support {

namespace {

// A message box's text is the static control with this id; its icon the one with 0x0440.
constexpr int kTextControl = 0xFFFF;
constexpr int kIconControl = 0x0440;

MessageBoxRecorder* g_active = nullptr;

std::wstring WindowText(HWND window) {
  if (window == nullptr) {
    return {};
  }
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), length + 1)));
  return text;
}

// Boxes draw the shared system icons, so in the same process the handle tells which one it is.
BoxIcon IconOf(HWND box) {
  HWND control = GetDlgItem(box, kIconControl);
  if (control == nullptr) {
    return BoxIcon::None;
  }
  const auto icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
  if (icon == nullptr) {
    return BoxIcon::None;
  }
  if (icon == LoadIconW(nullptr, IDI_HAND)) return BoxIcon::Error;
  if (icon == LoadIconW(nullptr, IDI_EXCLAMATION)) return BoxIcon::Warning;
  if (icon == LoadIconW(nullptr, IDI_ASTERISK)) return BoxIcon::Information;
  if (icon == LoadIconW(nullptr, IDI_QUESTION)) return BoxIcon::Question;
  return BoxIcon::None;
}

bool IsDialogBox(HWND window) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  return lstrcmpW(className, L"#32770") == 0;
}

}  // namespace

MessageBoxRecorder::MessageBoxRecorder(int answer) : answer_(answer) {
  g_active = this;
  hook_ = SetWindowsHookExW(WH_CBT, &MessageBoxRecorder::Hook, nullptr, GetCurrentThreadId());
}

MessageBoxRecorder::~MessageBoxRecorder() {
  if (hook_ != nullptr) {
    UnhookWindowsHookEx(hook_);
  }
  g_active = nullptr;
}

std::vector<std::wstring> MessageBoxRecorder::texts() const {
  std::vector<std::wstring> result;
  for (const RecordedBox& box : boxes_) {
    result.push_back(box.text);
  }
  return result;
}

LRESULT CALLBACK MessageBoxRecorder::Hook(int code, WPARAM wParam, LPARAM lParam) {
  // A box is activated once its controls hold their texts; the default button is pressed by a
  // posted command, which the box's own modal loop picks up.
  if (code == HCBT_ACTIVATE && g_active != nullptr) {
    const auto box = reinterpret_cast<HWND>(wParam);
    auto& seen = g_active->open_;
    if (IsDialogBox(box) && GetDlgItem(box, kTextControl) != nullptr &&
        std::find(seen.begin(), seen.end(), box) == seen.end()) {
      try {
        seen.push_back(box);
        RecordedBox record;
        record.caption = WindowText(box);
        record.text = WindowText(GetDlgItem(box, kTextControl));
        record.owner = GetWindow(box, GW_OWNER);
        record.icon = IconOf(box);
        g_active->boxes_.push_back(record);
      } catch (...) {
        // Memory ran out while the box was read (a test that makes allocations fail in turn
        // reaches this code too). Nothing may leave the hook: the box goes unrecorded, which a
        // test that counts boxes sees, and is still answered, or the code under test would wait
        // for ever for an answer.
      }
      const LRESULT button = SendMessageW(box, DM_GETDEFID, 0, 0);
      const WORD id = g_active->answer_ != 0          ? static_cast<WORD>(g_active->answer_)
                      : HIWORD(button) == DC_HASDEFID ? LOWORD(button)
                                                      : IDOK;
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
  }
  if (code == HCBT_DESTROYWND && g_active != nullptr) {
    // A box is activated again when it gets the focus back; a destroyed one frees its handle.
    auto& seen = g_active->open_;
    seen.erase(std::remove(seen.begin(), seen.end(), reinterpret_cast<HWND>(wParam)), seen.end());
  }
  return g_active != nullptr ? CallNextHookEx(g_active->hook_, code, wParam, lParam)
                             : CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace testing_support

// Message boxes shown by the code under test, on the test's own thread: each box is read as soon
// as it is activated (caption, text, owner, icon) and closed with its default button, so code
// that shows a modal box runs on to its end inside a test.
#pragma once

#include <string>
#include <vector>

#include "sys/Win32.h"

namespace testing_support {

enum class BoxIcon { None, Error, Warning, Information, Question };

struct RecordedBox {
  std::wstring caption;
  std::wstring text;
  HWND owner = nullptr;
  BoxIcon icon = BoxIcon::None;
};

// Records every message box opened on the calling thread while it lives. One at a time.
class MessageBoxRecorder {
 public:
  // Each box is closed with `answer` (IDYES, IDNO, ...), or with its default button when 0.
  explicit MessageBoxRecorder(int answer = 0);
  ~MessageBoxRecorder();
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  const std::vector<RecordedBox>& boxes() const { return boxes_; }
  // The texts alone, in the order shown.
  std::vector<std::wstring> texts() const;
  void clear() { boxes_.clear(); }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
  HHOOK hook_ = nullptr;
  int answer_ = 0;
  std::vector<RecordedBox> boxes_;
  std::vector<HWND> open_;  // boxes recorded and not yet destroyed
};

}  // namespace testing_support

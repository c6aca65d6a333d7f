// Watching for a message box that the code under test shows on the test's own thread: a second
// thread finds the box, records what it shows and presses a button, so that the call returns.
#pragma once

#include <string>
#include <thread>

#include "sys/Win32.h"

namespace testing_support {

struct SeenBox {
  bool seen = false;
  std::wstring caption;
  std::wstring text;
  HWND owner = nullptr;
  HICON icon =
      nullptr;  // compare with LoadIconW(nullptr, IDI_...): shared icons are the same handle
};

// Starts watching at construction for the first visible message box of this process (a dialog
// with the static text control of a message box); it is recorded and closed with `button`.
// Gives up after `timeoutMs`.
class BoxWatcher {
 public:
  explicit BoxWatcher(int button = IDOK, DWORD timeoutMs = 10000);
  ~BoxWatcher();
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

  // Waits for the watch to end and returns what it saw.
  SeenBox Result();

 private:
  void Watch(int button, DWORD timeoutMs);

  SeenBox box_;  // before the thread, which writes it
  std::thread thread_;
};

}  // namespace testing_support

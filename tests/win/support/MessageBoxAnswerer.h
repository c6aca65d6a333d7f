// Answers the message boxes that the code under test shows on the test's own thread: a second
// thread polls for a standard box of this process, records what it showed and presses a button,
// so that a modal question can be tested without a person.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sys/Win32.h"

namespace testing_support {

struct SeenBox {
  std::wstring caption;
  std::wstring text;
  bool owned = false;    // had an owner window
  bool hasYes = false;   // the Yes and No buttons of MB_YESNO
  bool hasNo = false;
};

class MessageBoxAnswerer {
 public:
  // Presses `button` (IDYES, IDNO, IDOK) in every box that appears until destruction.
  explicit MessageBoxAnswerer(int button);
  ~MessageBoxAnswerer();
  MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
  MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

  // The boxes answered so far, in order.
  std::vector<SeenBox> Seen();

 private:
  void Run();

  int button_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<SeenBox> seen_;
  std::vector<HWND> answered_;
  std::thread thread_;
};

}  // namespace testing_support

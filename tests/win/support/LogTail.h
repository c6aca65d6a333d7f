// What the code under test appended to bootstrap.log, the process-wide log, since a point in a
// test.
#pragma once

#include <string>

#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"

namespace testing_support {

class LogTail {
 public:
  // Before the process's first line there is no log yet; that line starts it afresh.
  LogTail() : start_(ReadFileBytes(BootstrapLogPath()).size()) {}
  std::string Text() const { return ReadFileBytes(BootstrapLogPath()).substr(start_); }
  std::size_t Start() const { return start_; }

 private:
  std::size_t start_;
};

}  // namespace testing_support

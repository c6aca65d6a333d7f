// The runtime redistributable's path and command line: apostrophes in the stored arguments turn
// into double quotes, and a path or command line that does not fit its buffer is refused rather
// than cut.
#include "prereq/RuntimeCommandLine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RuntimeCommandLine, ArgumentsWithApostrophesBecomeDoubleQuotes) {
  struct Case {
    const wchar_t* arguments;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"/q", L"\"C:\\T\\vc.exe\" /q"},
      {L"", L"\"C:\\T\\vc.exe\" "},
      {L"/q:a /c:'msiexec /i vcredist.msi /qn'",
       L"\"C:\\T\\vc.exe\" /q:a /c:\"msiexec /i vcredist.msi /qn\""},
      {L"''", L"\"C:\\T\\vc.exe\" \"\""},
  };
  for (const Case& c : cases) {
    std::wstring commandLine;
    EXPECT_TRUE(
        runtime::ComposeRedistributableCommandLine(L"C:\\T\\vc.exe", c.arguments, commandLine));
    EXPECT_EQ(commandLine, c.expected) << c.arguments;
  }
}

TEST(RuntimeCommandLine, CommandLineMustFitItsBuffer) {
  // Quote, path, quote, space and arguments: 519 characters fit, 520 do not.
  const std::wstring path(100, L'p');
  const std::wstring fits(519 - 103, L'a');
  std::wstring commandLine;
  EXPECT_TRUE(runtime::ComposeRedistributableCommandLine(path, fits, commandLine));
  EXPECT_EQ(commandLine.size(), 519u);
  EXPECT_FALSE(runtime::ComposeRedistributableCommandLine(path, fits + L"a", commandLine));
}

TEST(RuntimeCommandLine, PathMustFitItsBuffer) {
  const std::wstring folder = L"C:\\" + std::wstring(238, L't') + L"\\";
  std::wstring path;
  EXPECT_TRUE(runtime::ComposeRedistributablePath(folder, L"vcredist_vc9.exe", path));
  EXPECT_EQ(path, folder + L"vcredist_vc9.exe");
  EXPECT_EQ(path.size(), 258u);
  EXPECT_TRUE(runtime::ComposeRedistributablePath(folder, L"vcredist_vc9.exe1", path));
  EXPECT_FALSE(runtime::ComposeRedistributablePath(folder, L"vcredist_vc9.exe12", path));
}

}  // namespace

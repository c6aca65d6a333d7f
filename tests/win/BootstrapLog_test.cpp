// bootstrap.log on a real file system: the first line of a process makes the log new, whatever
// had its name (here a second name of another file) losing only the name, each line is appended
// as 8-bit text with CR LF, and a line is never formatted twice; others read the file while the
// run holds it, but cannot write it, and can hold it themselves once the run has let go, until
// another file takes its name. The log is a process-wide service initialised by its first line,
// so the whole life of one log is walked through in order, in one test.
#include "sys/BootstrapLog.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

TEST(BootstrapLog, LifeOfOneLog) {
  // The log lives in the temporary folder, which GetTempPathW takes from TMP.
  ScratchFolder temp;
  ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", temp.path().c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", temp.path().c_str()));
  const std::wstring logPath = temp / L"bootstrap.log";
  const std::wstring victim = temp / L"victim.txt";
  WriteFileBytes(victim, "a file the user may not write\r\n");
  ASSERT_TRUE(CreateHardLinkW(logPath.c_str(), victim.c_str(), nullptr));
  EXPECT_EQ(BootstrapLogPath(), L"");

  LogString(L"[Info] we are running from --> %s\n", L"C:\\Media\\setup.exe");
  EXPECT_EQ(BootstrapLogPath(), logPath);
  EXPECT_EQ(ReadFileBytes(logPath), "[Info] we are running from --> C:\\Media\\setup.exe\r\n");
  EXPECT_EQ(ReadFileBytes(victim), "a file the user may not write\r\n");

  // A first text that is empty or absent leaves the format as it stands.
  LogString(L"[Info] path to OEM: %s\n", L"");
  LogString(L"[Info] path to OEM: %s\n", nullptr);
  // Texts with percent signs are written as they are, never read as a format again.
  LogString(L"[Info] BASEURL found: %s\n", L"http://host/a%20b%s%d%n");
  // Two texts, the second absent.
  LogString(L"[x] %s|%s\n", L"one", nullptr);
  LogNumber(L"[WVT] WVT returned 0x%X\n", 0x800B0100u);
  LogNumber(L"[Info] Setup exit code is %d\n", 0x80000000u);
  LogNumbers(L"[Info] System Version = %d, Minimum Version = %d.\n", 405, 301);
  // A format without its line end runs on into the next line.
  LogString(L"[Info] first half");
  LogString(L" second half\n");
  // Latin-1 characters are stored as their byte; others cannot be, and become "?".
  LogString(L"[Info] path --> %s\n", L"C:\\Caf\u00e9\\\u0416\u4e2d");

  const std::string expected =
      "[Info] we are running from --> C:\\Media\\setup.exe\r\n"
      "[Info] path to OEM: %s\r\n"
      "[Info] path to OEM: %s\r\n"
      "[Info] BASEURL found: http://host/a%20b%s%d%n\r\n"
      "[x] one|\r\n"
      "[WVT] WVT returned 0x800B0100\r\n"
      "[Info] Setup exit code is -2147483648\r\n"
      "[Info] System Version = 405, Minimum Version = 301.\r\n"
      "[Info] first half second half\r\n"
      "[Info] path --> C:\\Caf\xe9\\??\r\n";
  EXPECT_EQ(ReadFileBytes(logPath), expected);

  // While the run holds the file, others read each line as soon as it is written (as every
  // read above did, letting the writer write), but nobody can write a line of his own, take the
  // file for himself, delete it or rename it, and no line is lost to such an attempt.
  for (const DWORD access : {static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(GENERIC_READ)}) {
    HANDLE other = CreateFileW(logPath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, access == GENERIC_READ);
    CloseHandle(other);
  }
  HANDLE exclusive = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(logPath.c_str()));
  EXPECT_FALSE(MoveFileW(logPath.c_str(), (temp / L"moved.log").c_str()));
  LogString(L"[Info] kept line\n");
  const std::string kept = expected + "[Info] kept line\r\n";
  EXPECT_EQ(ReadFileBytes(logPath), kept);

  // Once the run lets go, every line opens the file again: another process may hold the file
  // between two lines, and a line that cannot be appended is lost and nothing else happens.
  ReleaseLogFile();
  HANDLE holder = CreateFileW(logPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  LogString(L"[Info] lost line\n");
  CloseHandle(holder);
  LogString(L"[Info] last line\n");
  EXPECT_EQ(ReadFileBytes(logPath), kept + "[Info] last line\r\n");

  // A new run's log at the path is none of this one's business: it gets no line.
  const std::wstring newer = temp / L"newer.log";
  WriteFileBytes(newer, "a new run's first line\r\n");
  ASSERT_TRUE(MoveFileExW(newer.c_str(), logPath.c_str(), MOVEFILE_REPLACE_EXISTING));
  LogString(L"[Info] a line after the end\n");
  EXPECT_EQ(ReadFileBytes(logPath), "a new run's first line\r\n");
  EXPECT_EQ(ReadFileBytes(victim), "a file the user may not write\r\n");
}

}  // namespace

// bootstrap.log on a real file system: the first line of a process discards an earlier log, each
// line is appended as 8-bit text with CR LF, and a line is never formatted twice; others read the
// file while the run holds it, and can hold it themselves once the run has let go. The log is a
// process-wide service initialised by its first line, so the whole life of one log is walked
// through in order, in one test.
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"
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
  WriteFileBytes(logPath, "a log left by an earlier run\r\n");
  EXPECT_EQ(BootstrapLogPath(), L"");

  LogString(L"[Info] we are running from --> %s\n", L"C:\\Media\\setup.exe");
  EXPECT_EQ(BootstrapLogPath(), logPath);
  EXPECT_EQ(ReadFileBytes(logPath), "[Info] we are running from --> C:\\Media\\setup.exe\r\n");

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
  // read above did, letting the writer write), but nobody can take the file for himself, delete
  // it or rename it, and no line is lost to such an attempt.
  HANDLE exclusive =
      CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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
}

}  // namespace

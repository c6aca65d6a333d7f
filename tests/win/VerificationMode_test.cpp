// The verification mode, `setup.exe /v "file"`, which a first instance starts to have a
// downloaded file checked: its exit codes for a trusted, an unsigned and a changed file, and the
// first instance's bootstrap.log and mutex left as they were. Checked both in this process and
// through the built setup.exe, whose 32-bit exit code is read here on the Windows side.
#include "net/VerificationMode.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"
#include "sys/Win32.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WindowsBuildFolder;
using testing_support::WriteFileBytes;

constexpr DWORD kTrusted = 0;
constexpr DWORD kNotTrusted = 0x800B0004;
constexpr char kFirstInstanceLog[] =
    "[Info] we are running from --> C:\\Media\\setup.exe\r\n"
    "[Info] Downloading update package from --> http://127.0.0.1/instmsi3.exe\r\n";

std::wstring TrustFile(const std::wstring& name) {
  return WindowsBuildFolder() + L"tests\\windows\\trust\\" + name;
}

struct FileCase {
  const wchar_t* file;
  DWORD exitCode;
};
const FileCase kFiles[] = {
    {L"signed.exe", kTrusted},          {L"unsigned.exe", kNotTrusted},
    {L"tampered.exe", kNotTrusted},     {L"signed\\CorvellVesk5.msi", kTrusted},
    {L"no such file.exe", kNotTrusted},
};

// A temporary folder whose bootstrap.log belongs to a first instance that is still running.
class FirstInstanceLog {
 public:
  FirstInstanceLog() {
    GetEnvironmentVariableW(L"TMP", tmp_, MAX_PATH);
    GetEnvironmentVariableW(L"TEMP", temp_, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", folder_.path().c_str());
    SetEnvironmentVariableW(L"TEMP", folder_.path().c_str());
    WriteFileBytes(path(), kFirstInstanceLog);
  }
  // The folder goes away with this object; later scratch folders are made in the one before.
  ~FirstInstanceLog() {
    SetEnvironmentVariableW(L"TMP", tmp_);
    SetEnvironmentVariableW(L"TEMP", temp_);
  }
  std::wstring path() const { return folder_ / L"bootstrap.log"; }

 private:
  wchar_t tmp_[MAX_PATH] = {};
  wchar_t temp_[MAX_PATH] = {};
  ScratchFolder folder_;
};

// Runs `commandLine` and returns its exit code; a process that has not ended within the time
// (waiting on a message box, say) is ended and reported.
DWORD RunAndWait(std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start: " << GetLastError();
    return 0xFFFFFFFF;
  }
  DWORD exitCode = 0xFFFFFFFF;
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "setup.exe /v did not end by itself";
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
  } else {
    GetExitCodeProcess(process.hProcess, &exitCode);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

TEST(VerificationMode, SetupExeEndsWithTheVerdictAndLeavesTheFirstInstanceAlone) {
  FirstInstanceLog log;
  // The first instance holds the mutex; a verifying instance that took it would end with 1618.
  HANDLE mutex =
      CreateMutexW(nullptr, FALSE, L"Global\\_MSISETUP_{2956EBA1-9B5A-4679-8618-357136DA66CA}");
  ASSERT_NE(mutex, nullptr);

  const std::wstring setup = WindowsBuildFolder() + L"setup.exe";
  for (const FileCase& c : kFiles) {
    SCOPED_TRACE(testing::Message() << "file: " << std::wstring(c.file));
    // The command line a first instance builds.
    const std::wstring commandLine = L"\"" + setup + L"\" /v \"" + TrustFile(c.file) + L"\"";
    EXPECT_EQ(RunAndWait(commandLine), c.exitCode);
    EXPECT_EQ(ReadFileBytes(log.path()), kFirstInstanceLog);
  }
  CloseHandle(mutex);
}

// Last in this program: once kept off the file, the log stays off for the process.
TEST(VerificationMode, InThisProcessTheLogStaysOffTheFile) {
  FirstInstanceLog log;
  for (const FileCase& c : kFiles) {
    SCOPED_TRACE(testing::Message() << "file: " << std::wstring(c.file));
    EXPECT_EQ(RunVerificationMode(TrustFile(c.file)), c.exitCode);
  }
  EXPECT_EQ(ReadFileBytes(log.path()), kFirstInstanceLog);
  // Later lines are kept off too.
  LogString(L"[Info] a later line\n");
  EXPECT_EQ(ReadFileBytes(log.path()), kFirstInstanceLog);
}

}  // namespace

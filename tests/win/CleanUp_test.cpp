// The end of every run on a real file system and registry: the two log copies into the product's
// InstallLocation, the removal of what the run extracted, the ini file copied back with /w, and
// the restart question. The restart itself goes through the restart call table, so that a Yes
// can be given without restarting the machine.
#include "driver/CleanUp.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/RunState.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"
#include "sys/Win32.h"
#include "ui/MessageTable.h"

namespace {

using testing_support::BoxIcon;
using testing_support::Exists;
using testing_support::LogTail;
using testing_support::MessageBoxRecorder;
using testing_support::ReadFileBytes;
using testing_support::RecordedBox;
using testing_support::Row;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

constexpr wchar_t kProductCode[] = L"{5E0C7A41-0B8D-4F0E-9C3A-7D21E64B19F2}";
constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5E0C7A41-0B8D-4F0E-9C3A-"
    L"7D21E64B19F2}";
constexpr wchar_t kInstallerLogName[] = L"Unit Product.log";
constexpr wchar_t kMutexName[] = L"Local\\bootstrapper-cleanup-test";
constexpr char kInstallerLog[] = "=== Verbose logging started ===\r\n";

// The product's uninstall entry, in the registry view where a package of its bitness registers
// (the 32-bit one by default), removed again on destruction.
class UninstallEntry {
 public:
  explicit UninstallEntry(const std::wstring& installLocation,
                          REGSAM view = testing_support::kProductView)
      : view_(view) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE | view,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"InstallLocation", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(installLocation.c_str()),
                   static_cast<DWORD>((installLocation.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  ~UninstallEntry() { testing_support::DeleteProductKey(kUninstallKey, view_); }
  UninstallEntry(const UninstallEntry&) = delete;
  UninstallEntry& operator=(const UninstallEntry&) = delete;

 private:
  REGSAM view_;
};

// A run that got as far as the installer call: identity read, installer log written in its own
// folder, to be kept in its temporary folder.
void PrepareInstalledRun(RunState& state, const ScratchFolder& temp) {
  state.instance = GetModuleHandleW(nullptr);
  state.appTitle = LoadTableText(state.instance, IDS_APP_TITLE);
  state.mode = CommandLineResult::Normal;
  state.tempFolder = temp.path();
  state.productCode = kProductCode;
  ASSERT_EQ(state.workFolder.Create(), 0u);
  state.msiLogName = kInstallerLogName;
  state.msiLogFolder = temp.path();
  state.msiLogPath = state.workFolder.path() + kInstallerLogName;
  WriteFileBytes(state.msiLogPath, kInstallerLog);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(CleanUp, BothLogsLandInTheInstallLocationWithOrWithoutItsBackslash) {
  // A 64-bit package registers in the 64-bit view, whichever program installed it.
  for (const REGSAM view :
       {static_cast<REGSAM>(KEY_WOW64_32KEY), static_cast<REGSAM>(KEY_WOW64_64KEY)}) {
    for (const bool trailingBackslash : {true, false}) {
      SCOPED_TRACE(view == KEY_WOW64_64KEY ? "64-bit package" : "32-bit package");
      SCOPED_TRACE(trailingBackslash ? "with backslash" : "without backslash");
      ScratchFolder temp;
      ScratchFolder installDir;
      std::wstring location = installDir.path();
      if (!trailingBackslash) {
        location.pop_back();
      }
      UninstallEntry entry(location, view);
      RunState state;
      PrepareInstalledRun(state, temp);
      state.exitCode = ERROR_SUCCESS_REBOOT_INITIATED;
      LogTail log;

      EXPECT_EQ(CleanUp(state), static_cast<DWORD>(ERROR_SUCCESS_REBOOT_INITIATED));

      EXPECT_EQ(log.text(),
                "[Info] Begin CleanUp.\r\n"
                "[Info] copy Install log file to INSTALLDIR.\r\n"
                "[Info] Setup exit code is 1641\r\n"
                "[Info] copy bootstrapper log file to INSTALLDIR.\r\n");
      EXPECT_EQ(ReadFileBytes(installDir / kInstallerLogName), kInstallerLog);
      // The installer log is kept in the temporary folder.
      EXPECT_EQ(ReadFileBytes(temp / kInstallerLogName), kInstallerLog);
      // The copy of bootstrap.log is taken after its last line was written.
      const std::string copied = ReadFileBytes(installDir / L"bootstrap.log");
      EXPECT_TRUE(EndsWith(copied, "[Info] copy bootstrapper log file to INSTALLDIR.\r\n"));
      EXPECT_EQ(copied, ReadFileBytes(BootstrapLogPath()));
    }
  }
}

TEST(CleanUp, WhichLogLinesARunGets) {
  ScratchFolder temp;
  ScratchFolder installDir;
  const std::string missing =
      "[Info] Begin CleanUp.\r\n"
      "[Info] unable to copy Install log file.\r\n"
      "[Info] Setup exit code is 1618\r\n";
  // The registry reader reports why it found nothing.
  const std::string noKey =
      "[Info] getRegistryValue exception, unable to open key,name: SOFTWARE\\Microsoft\\Windows\\"
      "CurrentVersion\\Uninstall\\{5E0C7A41-0B8D-4F0E-9C3A-7D21E64B19F2},InstallLocation\r\n";
  struct Case {
    const char* name;
    CommandLineResult mode;
    bool identityRead;
    const wchar_t* installLocation;  // null: no uninstall entry
    std::string lines;
  };
  const Case cases[] = {
      // Ended before the temporary folder or the package identity was known.
      // Without a product code the Uninstall key itself is asked, which has no such value.
      {"early end", CommandLineResult::Normal, false, nullptr,
       missing + "[Info] getRegistryValue exception, unable to recover value\r\n"
                 "[Info] unable to copy bootstrapper log file.\r\n"},
      // The product's entry names no existing folder (the install failed or was removed).
      {"no install location", CommandLineResult::Normal, true, nullptr,
       "[Info] Begin CleanUp.\r\n" + noKey +
           "[Info] failed to copy Install log file.\r\n"
           "[Info] Setup exit code is 1618\r\n" +
           noKey + "[Info] unable to copy bootstrapper log file.\r\n"},
      {"location not a folder", CommandLineResult::Normal, true, L"C:\\no\\such\\folder",
       "[Info] Begin CleanUp.\r\n"
       "[Info] failed to copy Install log file.\r\n"
       "[Info] Setup exit code is 1618\r\n"
       "[Info] unable to copy bootstrapper log file.\r\n"},
      // Administrative installs and removals copy neither log, even to an existing folder.
      {"admin install", CommandLineResult::AdminInstall, true, installDir.path().c_str(), missing},
      {"uninstall", CommandLineResult::Uninstall, true, installDir.path().c_str(), missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<UninstallEntry> entry;
    if (c.installLocation != nullptr) {
      entry.emplace(c.installLocation);
    }
    RunState state;
    if (c.identityRead) {
      PrepareInstalledRun(state, temp);
    }
    state.mode = c.mode;
    state.exitCode = ERROR_INSTALL_ALREADY_RUNNING;
    LogTail log;

    EXPECT_EQ(CleanUp(state), static_cast<DWORD>(ERROR_INSTALL_ALREADY_RUNNING));
    EXPECT_EQ(log.text(), c.lines);
    EXPECT_FALSE(Exists(installDir / kInstallerLogName));
    EXPECT_FALSE(Exists(installDir / L"bootstrap.log"));
  }
}

TEST(CleanUp, RemovesTheWorkFolderAndCopiesTheIniBackOnlyWithW) {
  for (const bool writeIni : {false, true}) {
    SCOPED_TRACE(writeIni ? "/w" : "no /w");
    ScratchFolder temp;
    ScratchFolder media;
    RunState state;
    PrepareInstalledRun(state, temp);
    DeleteFileW(state.msiLogPath.c_str());
    state.msiLogName.clear();
    state.msiLogPath.clear();
    state.mediaFolder = media.path();
    state.iniFileName = L"UnitProduct.ini";
    if (writeIni) {
      state.options.optionWord |= RunOptions::kWriteIniFile;
    }
    const std::wstring work = state.workFolder.path();
    state.packagePath = work + L"UnitProduct.msi";
    state.packageExtracted = true;
    state.oemFolder = work + L"OEM\\";
    state.prereqPackagePath = work + L"Prereqs\\MSXML6\\msxml6_x86.msi";
    ASSERT_TRUE(CreateDirectoryW((work + L"Prereqs").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((work + L"Prereqs\\MSXML6").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(state.oemFolder.c_str(), nullptr));
    WriteFileBytes(state.prereqPackagePath, "parser");
    WriteFileBytes(state.packagePath, "package");
    WriteFileBytes(state.oemFolder + L"readme.txt", "readme");
    WriteFileBytes(state.oemFolder + L"technicalsupport.rtf", "support");
    WriteFileBytes(work + L"UnitProduct.ini", "the distributor's, copied in");
    // Whatever else got into the folder (a prerequisite's leftovers) goes with it; copies of media
    // files keep their attributes, so read-only ones must go too.
    ASSERT_TRUE(CreateDirectoryW((work + L"left").c_str(), nullptr));
    WriteFileBytes(work + L"left\\over.txt", "left over");
    SetFileAttributesW((work + L"left\\over.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((state.oemFolder + L"readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    // The installer writes the ini of /w to the temporary folder; without /w a file of that
    // name there is not the run's.
    WriteFileBytes(temp / L"UnitProduct.ini", "written by the installer");
    // The ini beside the executable is a second name of a file the user may not write: only the
    // name is replaced.
    WriteFileBytes(temp / L"victim.txt", "another file");
    ASSERT_TRUE(CreateHardLinkW((media / L"UnitProduct.ini").c_str(),
                                (temp / L"victim.txt").c_str(), nullptr));

    CleanUp(state);

    EXPECT_FALSE(Exists(work)) << "the work folder is gone with everything in it";
    EXPECT_FALSE(state.workFolder.created());
    EXPECT_EQ(Exists(temp / L"UnitProduct.ini"), !writeIni);
    EXPECT_EQ(ReadFileBytes(media / L"UnitProduct.ini"),
              writeIni ? "written by the installer" : "another file");
    EXPECT_EQ(ReadFileBytes(temp / L"victim.txt"), "another file");
  }
}

// Records the calls of the restart in their order.
struct RestartRecord {
  std::vector<std::string> calls;
  bool enableResult = true;
  bool mutexOpenAtRestart = true;
  bool exitLineLoggedAtRestart = false;
  std::size_t logStart = 0;
  UINT flags = 0;
  DWORD reason = 0;
};
RestartRecord* record = nullptr;

bool FakeEnableShutdownPrivilege() {
  record->calls.push_back("enable");
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
  record->mutexOpenAtRestart = mutex != nullptr;
  if (mutex != nullptr) {
    CloseHandle(mutex);
  }
  record->exitLineLoggedAtRestart =
      ReadFileBytes(BootstrapLogPath()).find("[Info] Setup exit code is 0\r\n", record->logStart) !=
      std::string::npos;
  return record->enableResult;
}

BOOL WINAPI FakeExitWindowsEx(UINT flags, DWORD reason) {
  record->calls.push_back("exit");
  record->flags = flags;
  record->reason = reason;
  return FALSE;
}

// Puts the real restart calls back whatever the test's outcome.
class FakeRestart {
 public:
  explicit FakeRestart(RestartRecord& target) : saved_(RestartCalls()) {
    record = &target;
    RestartCalls().enableShutdownPrivilege = &FakeEnableShutdownPrivilege;
    RestartCalls().exitWindowsEx = &FakeExitWindowsEx;
  }
  ~FakeRestart() {
    RestartCalls() = saved_;
    record = nullptr;
  }

 private:
  RestartCallTable saved_;
};

TEST(CleanUp, RestartQuestion) {
  struct Case {
    const char* name;
    bool restartRequested;
    std::uint32_t uiLevel;
    int answer;
    bool enableResult;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"no upgrade restart pending", false, kUiLevelFull, IDYES, true, {}},
      {"answered No", true, kUiLevelFull, IDNO, true, {}},
      {"answered Yes", true, kUiLevelFull, IDYES, true, {"enable", "exit"}},
      // Without the privilege the restart is still asked for.
      {"Yes without the privilege", true, kUiLevelFull, IDYES, false, {"enable", "exit"}},
      // The question is asked at every UI level, /qn included.
      {"Yes when silent", true, kUiLevelNone, IDYES, true, {"enable", "exit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RestartRecord restart;
    restart.enableResult = c.enableResult;
    FakeRestart fake(restart);
    RunState state;
    state.instance = GetModuleHandleW(nullptr);
    state.appTitle = LoadTableText(state.instance, IDS_APP_TITLE);
    state.options.setUiLevel(c.uiLevel);
    state.restartRequested = c.restartRequested;
    state.instanceMutex = CreateMutexW(nullptr, FALSE, kMutexName);
    ASSERT_NE(state.instanceMutex, nullptr);
    restart.logStart = ReadFileBytes(BootstrapLogPath()).size();
    MessageBoxRecorder boxes(c.answer);
    // The product installed: the restart need of the engine is not the run's result.
    EXPECT_EQ(CleanUp(state), 0u);
    const std::vector<RecordedBox>& seen = boxes.boxes();

    EXPECT_EQ(restart.calls, c.calls);
    if (!c.restartRequested) {
      EXPECT_TRUE(seen.empty());
      continue;
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, Row(IDS_APP_TITLE));
    EXPECT_EQ(seen[0].text, Row(IDS_RESTART_QUESTION));
    EXPECT_EQ(seen[0].owner, nullptr);
    EXPECT_EQ(seen[0].icon, BoxIcon::Question);
    if (c.answer == IDYES) {
      EXPECT_EQ(restart.flags, static_cast<UINT>(EWX_REBOOT));
      EXPECT_EQ(restart.reason, 0x84040002u);
      // By the time of the question the mutex is closed and the exit code logged.
      EXPECT_FALSE(restart.mutexOpenAtRestart);
      EXPECT_TRUE(restart.exitLineLoggedAtRestart);
    }
  }
}

}  // namespace

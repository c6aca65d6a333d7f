// The parts of the engine upgrade that work without a person: reading file versions of real
// executables (the update stand-ins the build makes in several versions, and the prefix's own
// msi.dll, 4.5), deciding whether the engine or a package is recent enough, and starting a
// package or the verifying instance with their command lines.
#include "prereq/InstallerUpgrade.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "driver/RunState.h"
#include "net/DownloadTransfer.h"
#include "payload/HeldFile.h"
#include "payload/WorkFolder.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"
#include "sys/Win32.h"
#include "ui/MessageTable.h"
// After the one include of <windows.h>, which it needs.
#include <wininet.h>

// This program replaces the allocation functions, so that a test can make the n-th allocation
// from a given moment fail once: the throwing forms throw, the non-throwing ones answer null.
namespace {
long g_allocationsBeforeFailure = -1;  // -1: none fails

bool FailsNow() { return g_allocationsBeforeFailure >= 0 && g_allocationsBeforeFailure-- == 0; }

void* Allocate(std::size_t size) noexcept { return FailsNow() ? nullptr : std::malloc(size + 1); }
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) {
    return block;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using testing_support::BoxIcon;
using testing_support::InUrlCache;
using testing_support::LogTail;
using testing_support::MessageBoxRecorder;
using testing_support::ReadFileBytes;
using testing_support::Row;
using testing_support::ScratchFolder;
using testing_support::WindowsBuildFolder;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

std::wstring StandIn(const wchar_t* name) {
  return WindowsBuildFolder() + L"tests\\windows\\engine\\" + name + L".exe";
}

std::wstring EngineLibrary() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\msi.dll";
}

std::string Utf8(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr);
  bytes.resize(length);
  return bytes;
}

// The stand-in's exit code and its record of each start, through the environment that child
// processes inherit; both variables are removed again on destruction.
class StandInControl {
 public:
  StandInControl(const ScratchFolder& folder, DWORD exitCode) : record_(folder / L"starts.txt") {
    SetEnvironmentVariableW(L"BOOTSTRAPPER_UPDATE_RECORD", record_.c_str());
    SetEnvironmentVariableW(L"BOOTSTRAPPER_UPDATE_EXIT", std::to_wstring(exitCode).c_str());
  }
  ~StandInControl() {
    SetEnvironmentVariableW(L"BOOTSTRAPPER_UPDATE_RECORD", nullptr);
    SetEnvironmentVariableW(L"BOOTSTRAPPER_UPDATE_EXIT", nullptr);
  }
  StandInControl(const StandInControl&) = delete;
  StandInControl& operator=(const StandInControl&) = delete;

  std::string Starts() const { return ReadFileBytes(record_); }

 private:
  std::wstring record_;
};

TEST(InstallerUpgrade, GetFileVersionNumber) {
  ScratchFolder folder;
  struct Case {
    std::wstring path;
    DWORD result;
    std::uint32_t version;
  };
  const Case cases[] = {
      {EngineLibrary(), ERROR_SUCCESS, 0x00040005},
      {StandIn(L"update_v405"), ERROR_SUCCESS, 0x00040005},
      {StandIn(L"update_v406"), ERROR_SUCCESS, 0x00040006},
      // A version resource with texts only reads as the largest version.
      {StandIn(L"update_nofixed"), ERROR_SUCCESS, 0xFFFFFFFF},
      {folder / L"missing.exe", ERROR_FILE_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    std::uint32_t version = 0;
    EXPECT_EQ(GetFileVersionNumber(c.path.c_str(), version), c.result);
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(version, c.version);
    }
  }
  // No version resource at all is a failure, whatever code the system gives for it.
  std::uint32_t version = 0;
  EXPECT_NE(GetFileVersionNumber(StandIn(L"update_noversion").c_str(), version), 0u);
}

TEST(InstallerUpgrade, TheEngineOfThePrefixIs405) {
  struct Case {
    std::uint32_t minimum;
    bool needed;
    const char* line;
  };
  const Case cases[] = {
      {150, false,
       "[Info] No upgrade is necessary.  System version meets minimum requirements\r\n"},
      {301, false,
       "[Info] No upgrade is necessary.  System version meets minimum requirements\r\n"},
      {405, false,
       "[Info] No upgrade is necessary.  System version meets minimum requirements\r\n"},
      {406, true,
       "[Info] Windows Installer upgrade is required.  System Version = 405, Minimum Version = "
       "406.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.minimum);
    LogTail log;
    EXPECT_EQ(NeedsInstallerUpgrade(c.minimum), c.needed);
    EXPECT_EQ(log.text(), c.line);
    // The run keeps the engine's load only when it will bind that engine: one that is about to
    // be upgraded must not stay loaded, or the run would bind the old library afterwards.
    ModuleHandle kept;
    EXPECT_EQ(NeedsInstallerUpgrade(c.minimum, &kept), c.needed);
    EXPECT_EQ(static_cast<bool>(kept), !c.needed);
    if (kept) {
      EXPECT_EQ(kept.get(), GetModuleHandleW(L"msi.dll"));
    }
  }
}

TEST(InstallerUpgrade, IsUpdateVersionSufficient) {
  const std::string unreadable =
      "[Info] Can't obtain version information for update package; assuming it is not the "
      "proper version\r\n";
  struct Case {
    const wchar_t* standIn;
    std::uint32_t minimum;
    bool sufficient;
    std::string line;
  };
  const Case cases[] = {
      {L"update_v406", 406, true, ""},
      {L"update_v406", 301, true, ""},
      {L"update_v405", 406, false,
       "[Info] The update package is improper version for upgrade. Update package Version = 405, "
       "Minimum Version = 406.\r\n"},
      {L"update_nofixed", 0xFFFFFFFF, true, ""},
      {L"update_noversion", 150, false, unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.standIn, c.standIn + wcslen(c.standIn)));
    LogTail log;
    EXPECT_EQ(IsUpdateVersionSufficient(StandIn(c.standIn).c_str(), c.minimum), c.sufficient);
    EXPECT_EQ(log.text(), c.line);
  }
}

TEST(InstallerUpgrade, RunUpdatePackageStartsItUnattendedAndPassesItsExitCodeOn) {
  ScratchFolder folder;
  const std::wstring package = StandIn(L"update_v406");
  for (const DWORD exitCode : {0ul, 3010ul, 3011ul, 0x80070005ul}) {
    SCOPED_TRACE(exitCode);
    StandInControl control(folder, exitCode);
    DeleteFileW((folder / L"starts.txt").c_str());
    LogTail log;
    EXPECT_EQ(RunUpdatePackage(package.c_str()), exitCode);
    EXPECT_EQ(control.Starts(), Utf8(L"\"" + package + L"\" /passive /norestart\n"));
    EXPECT_EQ(log.text(), "[Info] Running update package from --> " + Utf8(package) + "\r\n");
  }
  // A package that cannot be started gives the reason it could not.
  StandInControl control(folder, 0);
  EXPECT_EQ(RunUpdatePackage((folder / L"gone.exe").c_str()),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(InstallerUpgrade, VerifyDownloadedUpdateTakesTheSecondInstancesExitCode) {
  // The stand-in plays the second instance here: only the command line and the exit code
  // matter to the first.
  ScratchFolder folder;
  const std::wstring instance = StandIn(L"update_v405");
  const std::wstring file = folder / L"update[1].exe";
  for (const DWORD verdict : {0ul, 0x800B0001ul, 0x800B0004ul}) {
    SCOPED_TRACE(verdict);
    StandInControl control(folder, verdict);
    DeleteFileW((folder / L"starts.txt").c_str());
    LogTail log;
    EXPECT_EQ(VerifyDownloadedUpdate(instance.c_str(), file.c_str()), verdict);
    EXPECT_EQ(control.Starts(), Utf8(L"\"" + instance + L"\" /v \"" + file + L"\"\n"));
    EXPECT_EQ(log.text(), "[Info] Verification of Update returned " +
                              std::to_string(static_cast<std::int32_t>(verdict)) + "\r\n");
  }
}

bool NotAnAdministrator() { return false; }

TEST(InstallerUpgrade, TheStepEndsBeforeAnythingIsReadOrRun) {
  const std::string required =
      "[Info] Windows Installer upgrade is required.  System Version = 405, Minimum Version = "
      "406.\r\n"
      "[Info] Upgrade of Windows Installer is requested\r\n";
  struct Case {
    const char* name;
    std::uint32_t minimum;
    bool administrator;
    int answer;
    DWORD result;
    std::vector<std::pair<UINT, BoxIcon>> boxes;
    std::string lines;
  };
  const Case cases[] = {
      {"recent enough",
       405,
       true,
       IDYES,
       ERROR_SUCCESS,
       {},
       "[Info] No upgrade is necessary.  System version meets minimum requirements\r\n"},
      // The administrator check comes before the question.
      {"not an administrator",
       406,
       false,
       IDYES,
       ERROR_INSTALL_FAILURE,
       {{IDS_ADMIN_FOR_UPGRADE, BoxIcon::Error}},
       required},
      {"declined",
       406,
       true,
       IDNO,
       ERROR_INSTALL_USEREXIT,
       {{IDS_UPGRADE_QUESTION, BoxIcon::Question}, {IDS_CANCELLED, BoxIcon::Warning}},
       required},
  };
  const InstallerUpgradeCallTable saved = InstallerUpgradeCalls();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.administrator) {
      InstallerUpgradeCalls().isUserAdmin = &NotAnAdministrator;
    }
    RunState state;
    state.instance = GetModuleHandleW(nullptr);
    state.appTitle = LoadTableText(state.instance, IDS_APP_TITLE);
    state.minimumMsi = c.minimum;
    LogTail log;
    MessageBoxRecorder boxes(c.answer);

    EXPECT_EQ(PerformInstallerUpgradeStep(state), c.result);
    InstallerUpgradeCalls() = saved;

    ASSERT_EQ(boxes.boxes().size(), c.boxes.size());
    for (std::size_t i = 0; i < c.boxes.size(); ++i) {
      EXPECT_EQ(boxes.boxes()[i].text, Row(c.boxes[i].first));
      EXPECT_EQ(boxes.boxes()[i].icon, c.boxes[i].second);
      EXPECT_EQ(boxes.boxes()[i].caption, Row(IDS_APP_TITLE));
    }
    EXPECT_EQ(log.text(), c.lines);
    // UPDATE and UPDATELOCATION are read only once the user agreed.
    EXPECT_FALSE(state.updateName);
    EXPECT_FALSE(state.updateLocation);
  }
}

// A file URL stands in for the server: the update stand-in of version 4.6 as "update.exe" in
// `folder`, and the location to compose its URL from.
std::wstring UpdateLocationIn(const ScratchFolder& folder) {
  EXPECT_TRUE(CopyFileW(StandIn(L"update_v406").c_str(), (folder / L"update.exe").c_str(), FALSE));
  std::wstring location = L"file:///" + folder.path();
  location.pop_back();
  return location;
}

TEST(InstallerUpgrade, TheSecondInstancesVerdictDecidesWhetherTheDownloadRuns) {
  // The stand-in plays the verifying instance as well as the package: with 0 both pass, any other
  // code stops at the verdict. The verifying instance is a copy of the held executable in the
  // work folder; an executable that is not held cannot be copied, and nothing is started.
  ScratchFolder folder;
  const std::wstring location = UpdateLocationIn(folder);
  const std::wstring verifier = StandIn(L"update_v405");
  HeldFile image;
  ASSERT_EQ(image.Take(verifier.c_str()), 0u);
  const HeldFile notHeld;
  WorkFolder work;
  ASSERT_EQ(work.Create(), 0u);
  const std::wstring verifierCopy = work.path() + L"Verifier\\update_v405.exe";
  struct Case {
    DWORD verdict;
    const HeldFile& image;
    DWORD result;
    std::vector<std::pair<UINT, BoxIcon>> boxes;
    int starts;  // the verifier's start, and the package's when it runs
  };
  const Case cases[] = {
      {0, image, ERROR_SUCCESS, {}, 2},
      {0x800B0001,
       image,
       ERROR_CALL_NOT_IMPLEMENTED,
       {{IDS_NO_SIGNATURE_SUPPORT, BoxIcon::Error}},
       1},
      {0x800B0004, image, 4, {{IDS_NOT_TRUSTED, BoxIcon::Error}}, 1},
      {0x80096010, image, 4, {{IDS_NOT_TRUSTED, BoxIcon::Error}}, 1},
      {0, notHeld, 4, {{IDS_NOT_TRUSTED, BoxIcon::Error}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.verdict << (c.image.IsHeld() ? "" : ", not held"));
    StandInControl control(folder, c.verdict);
    DeleteFileW((folder / L"starts.txt").c_str());
    ProgressDialog dialog;
    MessageBoxRecorder boxes;
    EXPECT_EQ(UpgradeInstallerFromUrl(L"Caption", c.image, verifier, GetModuleHandleW(nullptr),
                                      dialog, work.path(), location.c_str(), L"update.exe", 406),
              c.result);
    // The verifier started is the copy in the work folder, never the executable's own path, and
    // what it verified, and what ran, is the update's copy there; both are gone with the step.
    const std::string starts = control.Starts();
    if (c.starts > 0) {
      EXPECT_EQ(starts.rfind(
                    Utf8(L"\"" + verifierCopy + L"\" /v \"" + work.path() + L"update.exe\"\n"), 0),
                0u)
          << starts;
    }
    EXPECT_EQ(starts.find(Utf8(verifier)), std::string::npos) << starts;
    EXPECT_FALSE(testing_support::Exists(work.path() + L"update.exe"));
    EXPECT_FALSE(testing_support::Exists(work.path() + L"Verifier"));
    ASSERT_EQ(boxes.boxes().size(), c.boxes.size());
    for (std::size_t i = 0; i < c.boxes.size(); ++i) {
      EXPECT_EQ(boxes.boxes()[i].icon, c.boxes[i].second);
      EXPECT_EQ(boxes.boxes()[i].caption, L"Caption");
    }
    if (c.result == 4) {
      // String 22 names the copy that was handed to the verifier.
      const std::wstring& text = boxes.boxes()[0].text;
      const std::wstring prefix = L"Installation failed.  '";
      const std::wstring suffix = L"' is not trusted.";
      ASSERT_GT(text.size(), prefix.size() + suffix.size());
      EXPECT_EQ(text.substr(0, prefix.size()), prefix);
      EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
      const std::wstring copy =
          text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
      EXPECT_EQ(copy, work.path() + L"update.exe");
    } else if (c.result == ERROR_CALL_NOT_IMPLEMENTED) {
      EXPECT_EQ(boxes.boxes()[0].text, Row(IDS_NO_SIGNATURE_SUPPORT));
    }
    EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), c.starts) << starts;
  }
}

TEST(InstallerUpgrade, TheDownloadedUpdateLeavesTheUrlCacheWhereverAnAllocationFails) {
  // Each allocation of the step fails once in turn, until the step gets through without meeting
  // the failure, and then installs; after every one of these ends the cache holds no copy of the
  // update.
  ScratchFolder folder;
  const std::wstring location = UpdateLocationIn(folder);
  const std::wstring verifier = StandIn(L"update_v406");
  HeldFile image;
  ASSERT_EQ(image.Take(verifier.c_str()), 0u);
  std::wstring url;
  ASSERT_EQ(CanonicalizeDownloadUrl(location + L"/update.exe", MAX_PATH, url), 0u);
  StandInControl control(folder, 0);
  WorkFolder work;
  ASSERT_EQ(work.Create(), 0u);
  int escapes = 0;
  long failing = 0;
  for (;; ++failing) {
    ProgressDialog dialog;
    MessageBoxRecorder boxes;
    g_allocationsBeforeFailure = failing;
    DWORD result = ERROR_OUTOFMEMORY;
    try {
      result = UpgradeInstallerFromUrl(L"Caption", image, verifier, GetModuleHandleW(nullptr),
                                       dialog, work.path(), location.c_str(), L"update.exe", 406);
    } catch (const std::bad_alloc&) {
      ++escapes;
    }
    const bool reached = g_allocationsBeforeFailure < 0;
    g_allocationsBeforeFailure = -1;
    if (!reached) {
      EXPECT_EQ(result, 0u);
      EXPECT_THAT(boxes.texts(), testing::IsEmpty());
    }
    EXPECT_FALSE(InUrlCache(url)) << failing;
    EXPECT_FALSE(testing_support::Exists(work.path() + L"update.exe")) << failing;
    EXPECT_FALSE(testing_support::Exists(work.path() + L"Verifier")) << failing;
    if (!reached) {
      break;
    }
  }
  // The failures met the step before, during and after the download.
  EXPECT_GT(escapes, 3) << failing;
  EXPECT_GT(failing, escapes);
}

}  // namespace

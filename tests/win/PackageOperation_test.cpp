// The installer invocation over a table of installer entry points of the test's own: Wine's
// installer cannot be made to answer every state and result, so the table answers what each case
// needs, while msi.dll itself (without a message table under Wine) supplies the error texts. What
// is checked is what the run makes of the answers: the command line it chooses, the box it shows
// and the exit code it keeps.
#include "driver/PackageOperation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver/RunState.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "ui/MessageTable.h"

namespace {

using testing_support::BoxIcon;
using testing_support::LogTail;
using testing_support::MessageBoxRecorder;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

constexpr wchar_t kProductCode[] = L"{2D6E0B1A-7C54-4F3E-9A81-5B0C3D2E1F47}";
constexpr wchar_t kProperties[] = L"UNIT=1";
constexpr wchar_t kReinstall[] = L"REINSTALL=ALL REINSTALLMODE=vomus";
constexpr MSIHANDLE kHandle = 1;  // every handle the table gives out; closing it is harmless

// What the installer answers in one case.
struct Installer {
  bool packageReadable = true;
  INSTALLSTATE state = INSTALLSTATE_UNKNOWN;
  bool productOpens = true;
  const wchar_t* installedVersion = L"5.0.0";  // null: the version cannot be read
  const wchar_t* packageVersion = L"5.0.0";
  UINT installResult = ERROR_SUCCESS;
  // What the run gave it.
  std::wstring lastQuery;
  std::vector<std::wstring> installed;
};
Installer g_installer;

INSTALLUILEVEL WINAPI FakeSetInternalUI(INSTALLUILEVEL level, HWND*) { return level; }
UINT WINAPI FakeInstallProduct(LPCWSTR, LPCWSTR commandLine) {
  g_installer.installed.emplace_back(commandLine);
  return g_installer.installResult;
}
// The real call answers an empty product code with INSTALLSTATE_INVALIDARG.
INSTALLSTATE WINAPI FakeQueryProductState(LPCWSTR code) {
  return *code == L'\0' ? INSTALLSTATE_INVALIDARG : g_installer.state;
}
UINT WINAPI FakeOpenDatabase(LPCWSTR, LPCWSTR, MSIHANDLE* database) {
  *database = g_installer.packageReadable ? kHandle : 0;
  return g_installer.packageReadable ? ERROR_SUCCESS : ERROR_OPEN_FAILED;
}
UINT WINAPI FakeOpenView(MSIHANDLE, LPCWSTR query, MSIHANDLE* view) {
  g_installer.lastQuery = query;
  *view = kHandle;
  return ERROR_SUCCESS;
}
UINT WINAPI FakeExecute(MSIHANDLE, MSIHANDLE) { return ERROR_SUCCESS; }
UINT WINAPI FakeFetch(MSIHANDLE, MSIHANDLE* record) {
  *record = kHandle;
  return ERROR_SUCCESS;
}
// The texts of these cases fit the run's buffers.
UINT Answer(const wchar_t* text, LPWSTR buffer, LPDWORD size) {
  lstrcpynW(buffer, text, static_cast<int>(*size));
  *size = static_cast<DWORD>(wcslen(buffer));
  return ERROR_SUCCESS;
}
UINT WINAPI FakeRecordString(MSIHANDLE, UINT, LPWSTR buffer, LPDWORD size) {
  const bool code = g_installer.lastQuery.find(L"'ProductCode'") != std::wstring::npos;
  return Answer(code ? kProductCode : g_installer.packageVersion, buffer, size);
}
UINT WINAPI FakeCloseHandle(MSIHANDLE) { return ERROR_SUCCESS; }
UINT WINAPI FakeEnableLog(DWORD, LPCWSTR, DWORD) { return ERROR_SUCCESS; }
UINT WINAPI FakeProductProperty(MSIHANDLE, LPCWSTR, LPWSTR buffer, LPDWORD size) {
  return g_installer.installedVersion != nullptr
             ? Answer(g_installer.installedVersion, buffer, size)
             : ERROR_UNKNOWN_PROPERTY;
}
UINT WINAPI FakeOpenProduct(LPCWSTR, MSIHANDLE* product) {
  *product = g_installer.productOpens ? kHandle : 0;
  return g_installer.productOpens ? ERROR_SUCCESS : ERROR_UNKNOWN_PRODUCT;
}

// A silent first-time run that has its package ready and its progress dialog gone, with the
// table above bound over the real msi.dll module.
class PackageOperation : public ::testing::Test {
 protected:
  void SetUp() override {
    msi_ = LoadLibraryW(L"msi.dll");
    ASSERT_NE(msi_, nullptr);
    g_installer = Installer{};
  }
  void TearDown() override { FreeLibrary(msi_); }

  // Runs the operation with the installer as `installer` answers; the boxes are recorded.
  void Run(const Installer& installer) {
    g_installer = installer;
    run_ = std::make_unique<RunState>();
    RunState& run = *run_;
    run.instance = GetModuleHandleW(nullptr);
    run.appTitle = LoadTableText(run.instance, IDS_APP_TITLE);
    run.options.setUiLevel(INSTALLUILEVEL_NONE);
    run.useReinstall = true;
    run.tempFolder = testing_support::ScratchTempEnvironment::path();
    run.packagePath = run.tempFolder + L"UnitProduct.msi";
    run.productName = CopyText(L"Unit Product");
    run.properties = CopyText(kProperties);
    MsiBindings& msi = run.msi;
    msi.module = msi_;
    msi.MsiSetInternalUI = FakeSetInternalUI;
    msi.MsiInstallProductW = FakeInstallProduct;
    msi.MsiQueryProductStateW = FakeQueryProductState;
    msi.MsiOpenDatabaseW = FakeOpenDatabase;
    msi.MsiDatabaseOpenViewW = FakeOpenView;
    msi.MsiViewExecute = FakeExecute;
    msi.MsiViewFetch = FakeFetch;
    msi.MsiRecordGetStringW = FakeRecordString;
    msi.MsiCloseHandle = FakeCloseHandle;
    msi.MsiEnableLogW = FakeEnableLog;
    msi.MsiGetProductPropertyW = FakeProductProperty;
    msi.MsiOpenProductW = FakeOpenProduct;
    MessageBoxRecorder boxes;
    RunPackageOperation(run);
    boxes_ = boxes.boxes();
    run.msi = MsiBindings{};  // the module is the fixture's to free
  }

  static SettingBuffer CopyText(const wchar_t* text) {
    SettingBuffer buffer(new wchar_t[wcslen(text) + 1]);
    wcscpy(buffer.get(), text);
    return buffer;
  }

  const RunState& state() const { return *run_; }

  HMODULE msi_ = nullptr;
  std::unique_ptr<RunState> run_;
  std::vector<testing_support::RecordedBox> boxes_;
};

TEST_F(PackageOperation, InstalledStateAndVersionDecideBetweenFirstInstallAndReinstall) {
  const std::string code = "[Info] The product code '" +
                           std::string(std::begin(kProductCode), std::end(kProductCode) - 1);
  const std::string unknown = code + "' is unknown. Will use first time install logic...";
  const std::string same = code + "' is known, same version. Use first run logic";
  const std::string different =
      code +
      "' is known, but different version. Will use QFE recache and reinstall upgrade "
      "logic...";
  struct Case {
    const char* name;
    Installer installer;
    const wchar_t* commandLine;
    std::string decision;  // the log line that gives the reason
  };
  auto with = [](INSTALLSTATE state, const wchar_t* installedVersion) {
    Installer installer;
    installer.state = state;
    installer.installedVersion = installedVersion;
    return installer;
  };
  Installer closed = with(INSTALLSTATE_DEFAULT, L"5.1.0");
  closed.productOpens = false;
  Installer unreadable = with(INSTALLSTATE_DEFAULT, L"5.1.0");
  unreadable.packageReadable = false;
  Installer otherCase = with(INSTALLSTATE_DEFAULT, L"5.0.0-RC");
  otherCase.packageVersion = L"5.0.0-rc";
  const Case cases[] = {
      // Advertised and installed both count as installed.
      {"advertised, other version", with(INSTALLSTATE_ADVERTISED, L"5.1.0"), kReinstall, different},
      {"installed, other version", with(INSTALLSTATE_DEFAULT, L"4.9.9"), kReinstall, different},
      {"advertised, same version", with(INSTALLSTATE_ADVERTISED, L"5.0.0"), kProperties, same},
      {"installed, same version", with(INSTALLSTATE_DEFAULT, L"5.0.0"), kProperties, same},
      {"versions differing in case only", otherCase, kProperties, same},
      // Every other state counts as not installed.
      {"unknown", with(INSTALLSTATE_UNKNOWN, L"5.1.0"), kProperties, unknown},
      {"broken", with(INSTALLSTATE_BROKEN, L"5.1.0"), kProperties, unknown},
      {"absent", with(INSTALLSTATE_ABSENT, L"5.1.0"), kProperties, unknown},
      {"local", with(INSTALLSTATE_LOCAL, L"5.1.0"), kProperties, unknown},
      {"source", with(INSTALLSTATE_SOURCE, L"5.1.0"), kProperties, unknown},
      // An installed product whose handle or version cannot be had is installed afresh.
      {"product does not open", closed, kProperties, "[Info] Unable to open product..."},
      {"version unreadable", with(INSTALLSTATE_DEFAULT, nullptr), kProperties,
       "[Info] Unable to recover product information..."},
      // No identity: the empty code is not installed (and the line keeps its placeholder).
      {"package identity unreadable", unreadable, kProperties,
       "[Info] The product code '%s' is unknown. Will use first time install logic..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogTail log;
    Run(c.installer);
    EXPECT_EQ(g_installer.installed, std::vector<std::wstring>{c.commandLine});
    EXPECT_THAT(log.lines(), ::testing::Contains(c.decision));
    EXPECT_EQ(state().exitCode, 0u);
  }
}

TEST_F(PackageOperation, InstallerResultsBecomeTheExitCodeWithTheirBox) {
  const std::wstring openFailed =
      L"An error occured installing the package.  Windows Installer returned '1619'.";
  struct Case {
    UINT result;
    const wchar_t* box;  // null: none
  };
  const Case cases[] = {
      {ERROR_SUCCESS, nullptr},
      // A package that could not be found or named is one that could not be opened.
      {ERROR_FILE_NOT_FOUND, openFailed.c_str()},
      {ERROR_PATH_NOT_FOUND, openFailed.c_str()},
      {ERROR_INVALID_NAME, openFailed.c_str()},
      {ERROR_UNKNOWN_PRODUCT,
       L"This action is only valid for products that are currently installed."},
      {ERROR_INSTALL_PACKAGE_INVALID,
       L"An error occured installing the package.  Windows Installer returned '1620'."},
      // Results the user already knows of, from the installer's own interface or the restart
      // it asks for, show nothing more.
      {ERROR_INSTALL_USEREXIT, nullptr},
      {ERROR_INSTALL_FAILURE, nullptr},
      {ERROR_INSTALL_SUSPEND, nullptr},
      {ERROR_SUCCESS_REBOOT_INITIATED, nullptr},
      {ERROR_SUCCESS_REBOOT_REQUIRED, nullptr},
      {ERROR_APPHELP_BLOCK, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    Installer installer;
    installer.installResult = c.result;
    LogTail log;
    Run(installer);
    EXPECT_EQ(state().exitCode, c.result);
    EXPECT_EQ(log.lines().back(), "[Info] MsiInstallProduct returned " + std::to_string(c.result));
    if (c.box == nullptr) {
      EXPECT_TRUE(boxes_.empty());
      continue;
    }
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, c.box);
    EXPECT_EQ(boxes_[0].caption, state().appTitle);
    EXPECT_EQ(boxes_[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes_[0].owner, nullptr);
  }
}

}  // namespace

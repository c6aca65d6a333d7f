#include "driver/PackageOperation.h"

#include <string>

#include "config/FeatureSelection.h"
#include "driver/MsiBindings.h"
#include "driver/RunState.h"
#include "prereq/XmlParserPrerequisite.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/PlatformChecks.h"
#include "sys/RunTimeBinding.h"
#include "ui/MessageBoxes.h"

namespace {

constexpr wchar_t kProductCodeQuery[] =
    L"SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'";
constexpr wchar_t kProductVersionQuery[] =
    L"SELECT `Value` FROM `Property` WHERE `Property`='ProductVersion'";
constexpr wchar_t kProductVersionProperty[] = L"ProductVersion";
constexpr wchar_t kReinstallCommandLine[] = L"REINSTALL=ALL REINSTALLMODE=vomus";
constexpr wchar_t kUninstallCommandLine[] = L"REMOVE=ALL";
constexpr wchar_t kAdminCommandLine[] = L" ACTION=ADMIN TARGETDIR=";
constexpr wchar_t kWriteIniProperties[] = L" WRITE_INI_FILE=true EXECUTEMODE=None";
constexpr wchar_t kIgnorePathProperties[] = L" IGNORE_PATH_CHECK=true";
constexpr wchar_t kLogExtension[] = L".log";
constexpr DWORD kProductCodeCapacity = 40;
constexpr DWORD kVersionCapacity = 260;
constexpr DWORD kLogMode = INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_PROPERTYDUMP;
constexpr LCID kVersionLocale = 1033;

// One property of the package through a read-only database view. False at the first call that
// fails; `value` is set only when the whole read succeeded.
bool ReadPackageProperty(const MsiBindings& msi, const wchar_t* package, const wchar_t* query,
                         DWORD capacity, std::wstring& value) {
  MSIHANDLE database = 0;
  MSIHANDLE view = 0;
  MSIHANDLE record = 0;
  std::wstring buffer(capacity, L'\0');
  DWORD size = capacity;
  const bool read = msi.MsiOpenDatabaseW(package, MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
                    msi.MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS &&
                    msi.MsiViewExecute(view, 0) == ERROR_SUCCESS &&
                    msi.MsiViewFetch(view, &record) == ERROR_SUCCESS &&
                    msi.MsiRecordGetStringW(record, 1, buffer.data(), &size) == ERROR_SUCCESS;
  if (read) {
    value.assign(buffer.c_str());
  }
  // Closed in the order they were opened; a handle never opened is 0 and closing it is harmless.
  msi.MsiCloseHandle(database);
  msi.MsiCloseHandle(view);
  msi.MsiCloseHandle(record);
  return read;
}

// Whether the installed product of the package's code has another version than the package:
// only then is the product reinstalled over itself instead of installed as for the first time.
void DecideReinstall(RunState& state) {
  const MsiBindings& msi = state.msi;
  const INSTALLSTATE installed = msi.MsiQueryProductStateW(state.productCode.c_str());
  LogNumber(L"[Info] MsiQueryProductState returned %d\n", static_cast<DWORD>(installed));
  if (installed != INSTALLSTATE_ADVERTISED && installed != INSTALLSTATE_DEFAULT) {
    LogString(L"[Info] The product code '%s' is unknown. Will use first time install logic...\n",
              state.productCode.c_str());
    state.useReinstall = false;
    return;
  }

  MSIHANDLE product = 0;
  if (msi.MsiOpenProductW(state.productCode.c_str(), &product) != ERROR_SUCCESS) {
    LogString(L"[Info] Unable to open product...\n");
    state.useReinstall = false;
    return;
  }
  std::wstring installedVersion(kVersionCapacity, L'\0');
  DWORD size = kVersionCapacity;
  if (msi.MsiGetProductPropertyW(product, kProductVersionProperty, installedVersion.data(),
                                 &size) != ERROR_SUCCESS) {
    LogString(L"[Info] Unable to recover product information...\n");
    state.useReinstall = false;
  } else if (CompareStringW(kVersionLocale, NORM_IGNORECASE, installedVersion.c_str(), -1,
                            state.packageVersion.c_str(), -1) == CSTR_EQUAL) {
    LogString(L"[Info] The product code '%s' is known, same version. Use first run logic\n",
              state.productCode.c_str());
    state.useReinstall = false;
  } else {
    // Higher or lower, a different version is upgraded by reinstalling over it.
    LogString(
        L"[Info] The product code '%s' is known, but different version. Will use QFE recache "
        L"and reinstall upgrade logic...\n",
        state.productCode.c_str());
  }
  msi.MsiCloseHandle(product);
}

// A product installed from the downloaded copy would look for its package in the run's own folder
// for a repair or a change, and that copy is removed at the end of the run: the package's folder at
// its URL becomes a source of the product, under the package's own name, and the source tried
// first. One log line names the source, or that it could not be registered (the functions need
// installer 3.0 and are bound at run time, like the others).
void RegisterUrlSource(const RunState& state) {
  const std::wstring& url = state.download.canonicalUrl;
  const std::wstring source = url.substr(0, url.rfind(L'/') + 1);
  decltype(&::MsiSourceListAddSourceExW) addSource = nullptr;
  decltype(&::MsiSourceListSetInfoW) setInfo = nullptr;
  bool registered = false;
  if (!state.productCode.empty() && !source.empty() &&
      BindProc(state.msi.module, "MsiSourceListAddSourceExW", addSource) &&
      BindProc(state.msi.module, "MsiSourceListSetInfoW", setInfo)) {
    const wchar_t* product = state.productCode.c_str();
    // A per-machine product is the usual case; a per-user one is the current user's.
    for (const MSIINSTALLCONTEXT context :
         {MSIINSTALLCONTEXT_MACHINE, MSIINSTALLCONTEXT_USERUNMANAGED,
          MSIINSTALLCONTEXT_USERMANAGED}) {
      const UINT added = addSource(product, nullptr, context, MSISOURCETYPE_URL | MSICODE_PRODUCT,
                                   source.c_str(), 0);
      if (added == ERROR_UNKNOWN_PRODUCT) {
        continue;
      }
      registered = added == ERROR_SUCCESS &&
                   setInfo(product, nullptr, context, MSICODE_PRODUCT, INSTALLPROPERTY_PACKAGENAME,
                           state.databaseName.get()) == ERROR_SUCCESS &&
                   setInfo(product, nullptr, context, MSISOURCETYPE_URL | MSICODE_PRODUCT,
                           INSTALLPROPERTY_LASTUSEDSOURCE, source.c_str()) == ERROR_SUCCESS;
      break;
    }
  }
  LogString(registered ? L"[Info] Registered URL source for the product: %s\n"
                       : L"[Info] Unable to register URL source for the product: %s\n",
            source.c_str());
}

void BuildCommandLine(RunState& state) {
  std::wstring& commandLine = state.commandLine;
  commandLine.clear();
  if (state.useReinstall) {
    commandLine = kReinstallCommandLine;
  } else {
    if (state.properties) {
      commandLine = state.properties.get();
    }
    if (state.mode == CommandLineResult::Normal) {
      if (state.options.writeIniFile()) {
        LogString(L"[Info] Adding write ini flag to command line\n");
        commandLine += kWriteIniProperties;
      }
      if (state.options.ignorePathCheck()) {
        LogString(L"[Info] Adding Ignore path check flag to command line\n");
        commandLine += kIgnorePathProperties;
      }
      if (state.product.hasFeatureSelection) {
        std::wstring featureSelectionText;
        BuildFeatureSelection(state.product.featureSelection, state.oemSourceFolder,
                              featureSelectionText);
        if (!featureSelectionText.empty()) {
          commandLine += L' ';
          commandLine += featureSelectionText;
        }
      }
    }
  }
  if (state.mode == CommandLineResult::Uninstall) {
    commandLine = kUninstallCommandLine;
  } else if (state.mode == CommandLineResult::AdminInstall) {
    commandLine = kAdminCommandLine + state.options.adminTargetPath;
  }
}

}  // namespace

void ReadPackageIdentity(RunState& state, const wchar_t* localPackage) {
  // The first read that fails ends the reading; what was read stays, the rest stays empty.
  ReadPackageProperty(state.msi, localPackage, kProductCodeQuery, kProductCodeCapacity,
                      state.productCode) &&
      ReadPackageProperty(state.msi, localPackage, kProductVersionQuery, kVersionCapacity,
                          state.packageVersion);
}

void RunPackageOperation(RunState& state) {
  const MessageContext messages = state.Messages();

  // 1: the Windows Installer API, bound at run time. A run reaches this step unbound; a table
  // bound already (the package operation's own tests bind one of theirs) is used as it is.
  const DWORD binding = state.msi.bound() ? ERROR_SUCCESS : BindMsi(state.msi);
  if (binding != ERROR_SUCCESS) {
    // The message has a place for a code: it gets the reason the library could not be used.
    ShowNumberMessage(messages, IDS_UPGRADE_FAILED, static_cast<std::int32_t>(binding));
    state.exitCode = ERROR_INSTALL_FAILURE;
    return;
  }
  const MsiBindings& msi = state.msi;

  // 2 to 5: the UI level, with the XML parser installed in between when it is missing. On a
  // window station nobody sees (a deployment system's service) the installer's own dialogs would
  // wait for ever, whatever the switches asked for: it shows none there.
  state.prereqPackagePath = state.workFolder.path();
  state.installerUiLevel = state.options.uiLevel();
  if (!state.silent() && !IsInteractiveWindowStation()) {
    LogString(L"[Info] No interactive desktop: the installer's UI level is NONE\n");
    state.installerUiLevel = kUiLevelNone;
  }
  if (state.installerUiLevel == kUiLevelNone) {
    LogString(L"[Info] Setting Internal UI level to NONE...\n");
    msi.MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  }
  if (state.mode == CommandLineResult::Normal && state.product.xmlParser) {
    const DWORD parser = InstallXmlParserPrerequisite(state);
    if (parser != ERROR_SUCCESS) {
      state.exitCode = parser;
      return;
    }
  }
  LogString(L"[Info] Setting Internal UI level to FULL...\n");
  msi.MsiSetInternalUI(static_cast<INSTALLUILEVEL>(state.installerUiLevel), nullptr);

  // 6 and 7: the package's identity and the installed product decide the command line. The
  // package is local on both paths: a downloaded one is its verified copy.
  if (state.mode == CommandLineResult::Normal) {
    ReadPackageIdentity(state, state.packagePath.c_str());
    if (state.useReinstall) {
      DecideReinstall(state);
    }
    if (!state.useReinstall && !state.product.hasFeatureSelection) {
      // Said here, before the installer log's lines, the first of which has no line break.
      LogString(L"[Info] This setup has no feature selection; OEM\\Feature.ini is not read\n");
    }
  }

  // 8: the verbose installer log, rewritten by every run. The installer writes it into the run's
  // own folder, where nobody can put a link at its name (the installer opens, empties and writes
  // a log by its path); clean-up keeps it in the temporary folder.
  state.msiLogName = std::wstring(state.productName.get()) + kLogExtension;
  state.msiLogFolder = state.tempFolder;
  state.msiLogPath = state.workFolder.path() + state.msiLogName;
  LogString(
      L"[Info] Setting MSI Install Log Mode: INSTALLLOGMODE_VERBOSE | "
      L"INSTALLLOGMODE_PROPERTYDUMP\n[Info]   Setting MSI Install Log Attributes: None");
  if (state.workFolder.created() && state.msiLogPath.size() < MAX_PATH &&
      state.msiLogFolder.size() + state.msiLogName.size() < MAX_PATH) {
    msi.MsiEnableLogW(kLogMode, state.msiLogPath.c_str(), 0);
  } else {
    // A long product name: the log's path cut short would name some other file, so the
    // installation goes on without its verbose log, and there is nothing to keep at the end.
    OutputDebugStringW(L"[Info] installer log path too long; no installer log\n");
    state.msiLogName.clear();
    state.msiLogPath.clear();
  }

  // 9 to 11: the one call into the installer.
  BuildCommandLine(state);
  LogString(L"[Info] Calling MsiInstallProduct with szInstallPath = %s, and szCommandLine = %s\n",
            state.packagePath.c_str(),
            state.commandLine.empty() ? L"{null}" : state.commandLine.c_str());
  const UINT result = msi.MsiInstallProductW(state.packagePath.c_str(), state.commandLine.c_str());
  state.exitCode = result;
  if (result != ERROR_SUCCESS) {
    ShowInstallerErrorMessage(state.Messages(), result, msi.module);
  }
  LogNumber(L"[Info] MsiInstallProduct returned %d\n", result);
  // A product that the downloaded copy installed or upgraded keeps the URL as its source.
  if (!state.download.canonicalUrl.empty() && state.mode == CommandLineResult::Normal &&
      (result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED ||
       result == ERROR_SUCCESS_REBOOT_INITIATED)) {
    RegisterUrlSource(state);
  }
  if (result == ERROR_SUCCESS) {
    state.exitCode = state.postInstallCode;
  }
}

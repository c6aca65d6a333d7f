#include "driver/RunSequence.h"

#include <new>
#include <string>

#include "config/CommandLine.h"
#include "config/ResourceSettings.h"
#include "config/SettingRules.h"
#include "config/TextUtil.h"
#include "driver/CleanUp.h"
#include "driver/PackageOperation.h"
#include "driver/RunState.h"
#include "net/PackageDownload.h"
#include "net/SignatureVerification.h"
#include "net/VerificationMode.h"
#include "payload/CheckedFolder.h"
#include "payload/FileUtilities.h"
#include "payload/PayloadExtraction.h"
#include "prereq/InstallerUpgrade.h"
#include "prereq/RuntimePrerequisite.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/LineFormat.h"
#include "sys/PlatformChecks.h"
#include "sys/RunTimeBinding.h"
#include "sys/SingleInstance.h"
#include "ui/MessageBoxes.h"
#include "ui/MessageTable.h"

namespace {

constexpr wchar_t kDefaultOperation[] = L"DEFAULT";
constexpr wchar_t kPlatformCaption[] = L"Is OS Supported";
constexpr wchar_t kSignatureCaption[] = L"Verify File Signature";
constexpr wchar_t kCheckingPrerequisites[] = L"Checking Prerequisites, Please wait...";
constexpr LCID kKeywordLocale = 1033;
constexpr std::size_t kDefaultTextCapacity = 256;
constexpr std::size_t kStatusTextCapacity = 2048;

// Every step returns true to go on; a step that ends the run sets the exit code through this
// and returns false, and the run goes straight to clean-up.
bool EndRun(RunState& state, DWORD code) {
  state.exitCode = code;
  return false;
}

// A fresh heap buffer holding `value`, as a setting read from the resources would be.
SettingBuffer CopyToSetting(const wchar_t* value, std::size_t capacity) {
  SettingBuffer buffer(new (std::nothrow) wchar_t[capacity]);
  if (buffer) {
    lstrcpynW(buffer.get(), value, static_cast<int>(capacity));
  }
  return buffer;
}

SettingBuffer LoadStringSetting(HINSTANCE instance, UINT id) {
  SettingBuffer buffer(new (std::nothrow) wchar_t[kDefaultTextCapacity]);
  if (buffer) {
    buffer[0] = L'\0';
    LoadTableString(instance, id, buffer.get(), static_cast<int>(kDefaultTextCapacity));
  }
  return buffer;
}

// Reads a setting; `lookup` is 0 when it was found, and a setting that was not found is left
// null. Out of memory ends the run with its box.
bool ReadSetting(RunState& state, const wchar_t* name, SettingBuffer& buffer, DWORD& lookup) {
  lookup = LoadResourceSetting(state.instance, name, buffer);
  if (lookup == ERROR_OUTOFMEMORY) {
    ShowOutOfMemoryMessage(state.Messages());
    return EndRun(state, ERROR_OUTOFMEMORY);
  }
  if (lookup != ERROR_SUCCESS) {
    buffer.reset();
  }
  return true;
}

// A default that could not be given a buffer ends the run like any allocation failure.
bool RequireMemory(RunState& state, const SettingBuffer& buffer) {
  if (!buffer) {
    ShowOutOfMemoryMessage(state.Messages());
    return EndRun(state, ERROR_OUTOFMEMORY);
  }
  return true;
}

bool IsKeyword(const wchar_t* text, const wchar_t* keyword) {
  return CompareStringW(kKeywordLocale, NORM_IGNORECASE, text, -1, keyword, -1) == CSTR_EQUAL;
}

// The folder part of `path`: everything up to and including its last backslash.
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

bool StartUp(RunState& state, const wchar_t* commandLine) {
  // 1 to 4: title, own path, the first log line (which creates the log), the folder for /a.
  state.appTitle = LoadTableText(state.instance, IDS_APP_TITLE);

  wchar_t exePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    // A path that had to be cut would name another file: it counts as unavailable.
    return EndRun(state, LastErrorOr(ERROR_INSUFFICIENT_BUFFER));
  }
  state.exePath.assign(exePath, length);
  LogString(L"[Info] we are running from --> %s\n", state.exePath.c_str());
  // Held from here to the end of the run; the payloads are read through the hold. The file at
  // the path is held only when it is the program that runs: the running one can have been renamed
  // away before the hold and another put in its place. A hold that cannot be taken ends the run
  // at the signature check, before anything is read or started.
  state.imageHoldResult = state.imageHold.Take(state.exePath.c_str());
  if (state.imageHoldResult == ERROR_SUCCESS) {
    state.imageHoldResult = ConfirmRunningImage(state.imageHold.handle(), state.instance);
  }
  if (state.imageHoldResult == ERROR_SUCCESS) {
    ReadPayloadsFrom(state.imageHold.handle());
  } else {
    state.imageHold.Release();
  }
  state.options.exeFolder = FolderOf(state.exePath);

  // 5: the command line.
  state.mode = ParseCommandLine(commandLine, state.options, [](const std::wstring& piece) {
    LogString(L"[Info] command option --> %s\n", piece.c_str());
  });
  state.useReinstall = state.mode == CommandLineResult::Normal;
  if (state.mode == CommandLineResult::Usage) {
    ShowUsageMessage(state.Messages());
    return EndRun(state, ERROR_SUCCESS);
  }

  // 6: the progress dialog; without one the run goes on and text updates report -1.
  state.progress.Create(state.instance, state.appTitle.c_str(), state.options.uiLevel());
  return true;
}

bool CheckMachine(RunState& state) {
  // 7: the platform.
  if (!IsOSSupported()) {
    LogNumber(L"[Info] IsOSSupported returned: %d\n", 0);
    if (!state.silent()) {
      ShowErrorMessage(state.Messages(kPlatformCaption), IDS_PLATFORM_UNSUPPORTED);
    }
    return EndRun(state, ERROR_INSTALL_PLATFORM_UNSUPPORTED);
  }

  // 8: the executable's own signature, read through the hold. Without the hold the file at the
  // executable's path is not known to be the one running: another process that has it open for
  // deleting can rename it away and put another file there. Nothing is then checked or started by
  // that path, and the run ends as when the signature fails, with the error of the hold.
  LogNumber(L"[Info] Verifying File Signature, Silent is %d\n", state.silent() ? 1 : 0);
  if (!state.imageHold.IsHeld()) {
    LogNumber(
        L"[Error] Setup cannot hold its own file (error %d): it is neither checked nor "
        L"started by its path\n",
        state.imageHoldResult);
    if (!state.silent()) {
      ShowTextMessage(state.Messages(kSignatureCaption), IDS_NOT_TRUSTED, state.exePath.c_str());
    }
    return EndRun(state, state.imageHoldResult);
  }
  state.imageTrust.Track(state.imageHold.handle());
  const HRESULT trust =
      VerifyFileSignature(state.exePath.c_str(), state.imageHold.handle(), &state.imageTrust);
  if (trust != S_OK) {
    LogNumber(L"[Info] VerifyFileSignature Failed, returned: 0x%X\n", static_cast<DWORD>(trust));
    if (!state.silent()) {
      ShowTextMessage(state.Messages(kSignatureCaption), IDS_NOT_TRUSTED, state.exePath.c_str());
    }
    return EndRun(state, static_cast<DWORD>(trust));
  }

  // 9: one instance at a time; whether another one runs was settled when this one started.
  if (state.anotherInstanceRuns) {
    return EndRun(state, ERROR_INSTALL_ALREADY_RUNNING);
  }

  // 10: administrator rights.
  return RequireAdministrator(state);
}

bool ReadProductSettings(RunState& state) {
  DWORD lookup = ERROR_SUCCESS;
  state.product = LoadProductOptions(state.instance);

  // 11: OPERATION, validated only after the engine step.
  if (!ReadSetting(state, kSettingOperation, state.operation, lookup)) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    state.operation = CopyToSetting(kDefaultOperation, std::size(kDefaultOperation));
    if (!RequireMemory(state, state.operation)) {
      return false;
    }
  }

  // 12: PRODUCTNAME.
  if (!ReadSetting(state, kSettingProductName, state.productName, lookup)) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    state.productName = LoadStringSetting(state.instance, IDS_DEFAULT_PRODUCT_NAME);
    if (!RequireMemory(state, state.productName)) {
      return false;
    }
  }

  // 13: the first text the user sees.
  const std::wstring format = LoadTableText(state.instance, IDS_INITIALIZING);
  std::wstring status;
  linefmt::FormatBounded(status, format.c_str(), {linefmt::Arg::Text(state.productName.get())},
                         kStatusTextCapacity);
  if (state.progress.SetMainText(status.c_str()) == 1) {
    ShowCancelledMessage(state.Messages());
    return EndRun(state, ERROR_INSTALL_USEREXIT);
  }

  // 14: DATABASE and the ini file named after it.
  if (!ReadSetting(state, kSettingDatabase, state.databaseName, lookup)) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    state.databaseName = LoadStringSetting(state.instance, IDS_DEFAULT_DATABASE);
    if (!RequireMemory(state, state.databaseName)) {
      return false;
    }
    LogString(L"[Resource] Using default database = %s\n", state.databaseName.get());
  }
  if (!DeriveIniFileName(state.databaseName.get(), state.iniFileName)) {
    // A cut name would make the run copy and delete some other file: refuse the package name.
    state.iniFileName.clear();
    ShowErrorMessage(state.Messages(), IDS_INTERNAL_ERROR);
    return EndRun(state, ERROR_INSTALL_FAILURE);
  }

  // 15: MINIMUM_MSI.
  if (!ReadSetting(state, kSettingMinimumMsi, state.minimumMsiText, lookup)) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    state.minimumMsiText = LoadStringSetting(state.instance, IDS_DEFAULT_MINIMUM_MSI);
    if (!RequireMemory(state, state.minimumMsiText)) {
      return false;
    }
    LogString(L"[Resource] Using default Minimum Msi Value = %s\n", state.minimumMsiText.get());
  }
  if (!ParseMinimumMsi(state.minimumMsiText.get(), state.minimumMsi)) {
    ShowInvalidVersionMessage(state.Messages(), state.minimumMsiText.get());
    return EndRun(state, ERROR_INVALID_PARAMETER);
  }
  LogNumber(L"[Resource] Minimum Msi Value = %d\n", state.minimumMsi);
  return true;
}

bool UpgradeEngineAndCheckOperation(RunState& state) {
  // 16 and 17: the Windows Installer engine.
  const DWORD upgrade = PerformInstallerUpgradeStep(state);
  if (upgrade == ERROR_SUCCESS_REBOOT_REQUIRED) {
    state.restartRequested = true;
  } else if (upgrade != ERROR_SUCCESS) {
    return EndRun(state, upgrade);
  }
  LogString(L"[Info] Windows Installer has been upgraded, or was already correct version\n");

  // 18: the operation the setup was authored for; the three accepted ones run alike.
  bool accepted = false;
  for (const wchar_t* keyword : kAcceptedOperations) {
    accepted = accepted || IsKeyword(state.operation.get(), keyword);
  }
  if (!accepted) {
    LogString(L"[Error] Operation %s is not valid for a package\n", state.operation.get());
    ShowTextMessage(state.Messages(), IDS_INVALID_OPERATION, state.operation.get());
    return EndRun(state, ERROR_INVALID_PARAMETER);
  }
  return true;
}

// The executable's folder from GetFullPathNameW, ending in a backslash; 0 or the Windows error.
DWORD GetMediaFolder(const std::wstring& exePath, std::wstring& folder) {
  wchar_t full[MAX_PATH] = {};
  wchar_t* filePart = nullptr;
  const DWORD length = GetFullPathNameW(exePath.c_str(), MAX_PATH, full, &filePart);
  if (length == 0 || length >= MAX_PATH) {
    return LastErrorOr(ERROR_FILENAME_EXCED_RANGE);
  }
  if (filePart != nullptr) {
    *filePart = L'\0';
  }
  folder = full;
  return ERROR_SUCCESS;
}

// The temporary folder (see GetWorkingTempFolder), created when missing, though never below a
// link; the logs stay there, where callers look for them. When it cannot be had the user is told
// and the run ends with `failureCode`. One that is a link, or lies below one, serves the installer,
// which looks for it itself; the run keeps its logs elsewhere then.
bool PrepareTempFolder(RunState& state, const std::wstring& exeFolder, DWORD failureCode) {
  state.tempFolder = GetWorkingTempFolder(exeFolder, state.tempFolderIsFallback);
  CheckedFolder temp;
  const DWORD made = temp.Open(state.tempFolder, true);
  if (made != ERROR_SUCCESS &&
      (made != kLinkInTheWay || !IsExistingFolder(state.tempFolder.c_str()))) {
    ShowTextMessage(state.Messages(), IDS_INVALID_PATH, state.tempFolder.c_str());
    state.tempFolder.clear();
    return EndRun(state, failureCode);
  }
  return true;
}

bool ResolvePackage(RunState& state) {
  // 19: BASEURL chooses between the download and the package inside the executable.
  LogString(L"[Info] Recovering BASEURL\n");
  DWORD lookup = ERROR_SUCCESS;
  if (!ReadSetting(state, kSettingBaseUrl, state.baseUrl, lookup)) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    const DWORD result = ResolvePackageFromMedia(state, lookup);
    return result == ERROR_SUCCESS || EndRun(state, result);
  }

  // The downloaded package is prepared as an embedded one is: its copy in the run's working
  // folder and the logs in the temporary folder, so that prerequisites, the installer log and
  // clean-up work alike.
  std::wstring exeFolder;
  if (GetMediaFolder(state.exePath, exeFolder) == ERROR_SUCCESS) {
    // Nothing is prepared from here on this path; it is where the ini file that /w has the
    // product write comes back to.
    state.mediaFolder = exeFolder;
  }
  if (!PrepareTempFolder(state, exeFolder, ERROR_PATH_NOT_FOUND) ||
      !PrepareWorkFolder(state, ERROR_PATH_NOT_FOUND)) {
    return false;
  }
  // Whether the package must carry setup.exe's own signature, or any the system trusts will do.
  if (!ReadSetting(state, kSettingPackageSigner, state.packageSigner, lookup)) {
    return false;
  }
  const PackageSigner signer = state.packageSigner && RequiresSetupSigner(state.packageSigner.get())
                                   ? PackageSigner::Bootstrapper
                                   : PackageSigner::Any;
  const DWORD result = ResolvePackageFromUrl(state.baseUrl.get(), state.databaseName.get(),
                                             state.exePath.c_str(), state.imageHold.handle(),
                                             state.imageTrust, signer, state.workFolder.path(),
                                             state.progress, state.Messages(), state.download);
  if (result != ERROR_SUCCESS) {
    return EndRun(state, result);
  }
  // The installer gets the copy whose signature was checked, held since before the check; given
  // the URL it would fetch the package again, and those bytes would never be checked.
  state.packagePath = state.download.localPath;
  return true;
}

bool PrepareRuntime(RunState& state) {
  // 20: PROPERTIES, for a first-time installation's command line.
  DWORD lookup = ERROR_SUCCESS;
  if (!ReadSetting(state, kSettingProperties, state.properties, lookup)) {
    return false;
  }

  // 21: the C++ runtime, for a normal installation of a product that asks for it.
  if (state.mode != CommandLineResult::Normal || !state.product.runtime) {
    return true;
  }
  LogString(L"[Info] Checking for CRT prerequisites...\n");
  state.progress.SetMainText(kCheckingPrerequisites);
  state.progress.SetDetailText(state.product.runtimeDetail.c_str());
  const DWORD result = InstallRuntimePrerequisite(state.appTitle.c_str(), state.progress,
                                                  state.workFolder.path().c_str(), state.silent());
  if (result == ERROR_SUCCESS) {
    return true;
  }
  if (state.silent() &&
      (result == ERROR_SUCCESS_REBOOT_REQUIRED || result == ERROR_SUCCESS_RESTART_REQUIRED)) {
    // Reported as the exit code once the product is installed, so that the caller learns that
    // a restart is needed.
    state.postInstallCode = result;
    return true;
  }
  return EndRun(state, result);
}

void CloseProgressDialog(RunState& state) {
  // 22: the Windows Installer takes the screen from here; boxes have no owner after this.
  if (state.progress.window != nullptr) {
    ShowWindow(state.progress.window, SW_HIDE);
  }
  state.progress.Destroy();
}

void RunSteps(RunState& state, const wchar_t* commandLine) {
  if (StartUp(state, commandLine) && CheckMachine(state) && ReadProductSettings(state) &&
      UpgradeEngineAndCheckOperation(state) && ResolvePackage(state) && PrepareRuntime(state)) {
    CloseProgressDialog(state);
    RunPackageOperation(state);
  }
}

}  // namespace

bool PrepareWorkFolder(RunState& state, DWORD failureCode) {
  if (state.workFolder.created()) {
    return true;
  }
  if (state.workFolder.Create() != ERROR_SUCCESS) {
    ShowTextMessage(state.Messages(), IDS_INVALID_PATH, state.workFolder.path().c_str());
    return EndRun(state, failureCode);
  }
  // Every program the run starts from here on (the engine update and the instance that checks
  // it, the runtime's setup) begins in this folder.
  SetProgramStartFolder(state.workFolder.path());
  return true;
}

bool RequireAdministrator(RunState& state) {
  if (!IsUserAdmin()) {
    ShowErrorMessage(state.Messages(), IDS_ADMIN_REQUIRED);
    return EndRun(state, ERROR_INSTALL_FAILURE);
  }
  return true;
}

DWORD ResolvePackageFromMedia(RunState& state, DWORD baseUrlLookupCode) {
  LogString(L"[Info] No BASEURL, generating media source.\n");

  const DWORD folderResult = GetMediaFolder(state.exePath, state.mediaFolder);
  if (folderResult != ERROR_SUCCESS) {
    state.mediaFolder.clear();
    ShowTextMessage(state.Messages(), IDS_INVALID_PATH, nullptr);
    return folderResult;
  }
  if (!PrepareTempFolder(state, state.mediaFolder, baseUrlLookupCode) ||
      !PrepareWorkFolder(state, baseUrlLookupCode)) {
    return state.exitCode;
  }
  const std::wstring& workFolder = state.workFolder.path();

  // The extraction refuses a path too long for the file system calls, with its own message.
  state.packagePath = workFolder + state.databaseName.get();
  state.packageExtracted = true;
  LogString(L"[Info] path to Msi: %s\n", state.packagePath.c_str());
  if (!ExtractFileFromResource(IDP_PRODUCT_PACKAGE, state.instance, state.appTitle.c_str(), nullptr,
                               state.packagePath.c_str(), &state.packageHold)) {
    return ERROR_FILE_NOT_FOUND;
  }

  state.oemFolder = workFolder + kOemSubfolder;
  LogString(L"[Info] path to OEM: %s\n", state.oemFolder.c_str());
  if (!ExtractFileFromResource(IDP_README, state.instance, state.appTitle.c_str(), kReadmeName,
                               state.oemFolder.c_str()) ||
      !ExtractFileFromResource(IDP_SUPPORT_DOCUMENT, state.instance, state.appTitle.c_str(),
                               kSupportDocumentName, state.oemFolder.c_str())) {
    return ERROR_FILE_NOT_FOUND;
  }

  // A distributor's own readme, support document and ini file beside the executable replace
  // the extracted ones; a file that is not there is simply not copied.
  state.oemSourceFolder = state.mediaFolder + kOemSubfolder;
  CopyFileToFolder(state.oemSourceFolder.c_str(), kReadmeName, state.oemFolder.c_str());
  CopyFileToFolder(state.oemSourceFolder.c_str(), kSupportDocumentName, state.oemFolder.c_str());
  CopyFileToFolder(state.mediaFolder.c_str(), state.iniFileName.c_str(), workFolder.c_str());

  if (!IsExistingFile(state.packagePath.c_str())) {
    ShowTextMessage(state.Messages(), IDS_PACKAGE_NOT_FOUND, state.packagePath.c_str());
    return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

DWORD RunSetup(HINSTANCE instance, const wchar_t* commandLine) {
  RestrictLibrarySearchToSystemFolder();
  if (commandLine == nullptr) {
    commandLine = L"";
  }
  // The verification mode checks one file for a first instance of the bootstrapper; it is
  // recognised before anything else so that it writes no log and takes no mutex.
  std::wstring verifyFile;
  if (ParseVerificationCommandLine(commandLine, verifyFile)) {
    return RunVerificationMode(verifyFile);
  }

  RunState state;
  state.instance = instance;
  // Whether another instance runs is settled before anything touches the log: of two instances
  // started together exactly one creates the mutex, and the other keeps its lines off the log
  // that belongs to the first. It still creates its dialog and checks its own signature before
  // it ends, at the single-instance step.
  state.instanceMutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName);
  if (state.instanceMutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    state.anotherInstanceRuns = true;
    if (state.instanceMutex != nullptr) {
      CloseHandle(state.instanceMutex);
      state.instanceMutex = nullptr;
    }
    KeepLogOffFile();
  }
  try {
    RunSteps(state, commandLine);
  } catch (const std::bad_alloc&) {
    // Texts of the run live in growing strings; an allocation that fails there ends the run
    // like any other allocation failure.
    ShowOutOfMemoryMessage(state.Messages());
    state.exitCode = ERROR_OUTOFMEMORY;
  }
  return CleanUp(state);
}

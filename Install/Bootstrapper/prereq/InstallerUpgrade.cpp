#include "prereq/InstallerUpgrade.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "config/ResourceSettings.h"
#include "config/TextUtil.h"
#include "driver/RunSequence.h"
#include "driver/RunState.h"
#include "net/DownloadTransfer.h"
#include "net/DownloadUrl.h"
#include "net/PackageDownload.h"
#include "payload/FileUtilities.h"
#include "payload/HeldFile.h"
#include "payload/PayloadExtraction.h"
#include "prereq/UpgradeRules.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/VersionFunctions.h"
#include "ui/MessageBoxes.h"
#include "ui/MessageTable.h"

namespace {

constexpr wchar_t kEngineLibrary[] = L"\\MSI.DLL";
// Where the copy of the executable that verifies a downloaded update is written, in the run's
// own folder, apart from the update whatever its name.
constexpr wchar_t kVerifierFolder[] = L"Verifier\\";
constexpr wchar_t kFixedInfoQuery[] = L"\\";
// The second instance reports this when the system has no signature support at all.
constexpr DWORD kTrustProviderUnknown = 0x800B0001;

MessageContext Messages(const ProgressDialog& dialog, HINSTANCE instance, const wchar_t* caption) {
  return MessageContext{instance, dialog.window, caption};
}

// Starts `commandLine` with its window shown and waits, keeping this thread's windows alive,
// until it ends. Its exit code, or the Windows error of the start or the wait.
DWORD RunShownAndWait(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE, nullptr, ProgramStartFolder(), &startup,
                      &process)) {
    return LastErrorOr(ERROR_INSTALL_FAILURE);
  }
  DWORD result = WaitPumpingMessages(process.hProcess);
  if (result == ERROR_SUCCESS) {
    DWORD exitCode = 0;
    result = GetExitCodeProcess(process.hProcess, &exitCode) ? exitCode
                                                             : LastErrorOr(ERROR_INSTALL_FAILURE);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

// The folders below `base` that writing `base` + `relativePath` will create, deepest first, so
// that they can be removed again once the file is gone. Folders that already exist are not
// listed: they are not the run's to remove.
std::vector<std::wstring> FoldersToBeCreated(const std::wstring& base,
                                             const std::wstring& relativePath) {
  std::vector<std::wstring> created;
  for (std::size_t cut = relativePath.find_first_of(L"\\/"); cut != std::wstring::npos;
       cut = relativePath.find_first_of(L"\\/", cut + 1)) {
    const std::wstring relativeFolder = relativePath.substr(0, cut);
    if (!relativeFolder.empty() && !IsExistingFolder((base + relativeFolder).c_str())) {
      created.insert(created.begin(), relativeFolder);
    }
  }
  return created;
}

// The folders that writing the update package made (deepest first): removed when the step ends,
// however it ends. A folder that is not empty stays, and a failed removal is ignored.
struct CreatedFolders {
  std::wstring base;
  std::vector<std::wstring> created;

  ~CreatedFolders() {
    try {
      for (const std::wstring& folder : created) {
        RemoveDirectory(base.c_str(), folder.c_str());
      }
    } catch (...) {
      // Building a path ran out of memory: the folders stay.
    }
  }
};

// A folder of the run's own that a step writes one file into (the file is made with its folder),
// removed again once the file is gone. Its path is made first, so that the removal needs no
// memory; a folder that still holds anything stays.
class EmptiedFolder {
 public:
  explicit EmptiedFolder(std::wstring path) : path_(std::move(path)) {}
  ~EmptiedFolder() { RemoveDirectoryW(path_.c_str()); }
  EmptiedFolder(const EmptiedFolder&) = delete;
  EmptiedFolder& operator=(const EmptiedFolder&) = delete;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Reads a setting of the engine step: true with `buffer` filled or null (absent); false when
// no buffer could be had.
bool ReadUpgradeSetting(HINSTANCE instance, const wchar_t* name, SettingBuffer& buffer) {
  const DWORD lookup = LoadResourceSetting(instance, name, buffer);
  if (lookup == ERROR_OUTOFMEMORY) {
    return false;
  }
  if (lookup != ERROR_SUCCESS) {
    buffer.reset();
  }
  return true;
}

// UPDATE and UPDATELOCATION; UPDATE falls back to string 42.
bool ReadUpdateSettings(RunState& state) {
  if (!ReadUpgradeSetting(state.instance, kSettingUpdate, state.updateName) ||
      !ReadUpgradeSetting(state.instance, kSettingUpdateLocation, state.updateLocation)) {
    return false;
  }
  if (!state.updateName) {
    constexpr int kDefaultCapacity = 256;
    state.updateName.reset(new (std::nothrow) wchar_t[kDefaultCapacity]);
    if (!state.updateName) {
      return false;
    }
    LoadMessage(state.instance, IDS_DEFAULT_UPDATE, state.updateName.get(), kDefaultCapacity);
  }
  return true;
}

// The second instance that checks the downloaded update's signature: a copy of the held
// executable, written into the run's own folder, confirmed against the held file and held until
// the instance has ended. Never the executable's path: a process of the user's could have put
// another program there (renamed the file away, or pointed a folder of that path elsewhere), and
// that program would run elevated and have its exit code taken for the verdict. Logs the verdict,
// or the error that kept the copy from being made, which counts as one.
DWORD VerifyWithCopyOfImage(const HeldFile& image, const std::wstring& exePath,
                            const std::wstring& workFolder, const std::wstring& filePath) {
  std::wstring exeFolder;
  std::wstring exeName;
  SplitPath(exePath.c_str(), exeFolder, exeName);
  const EmptiedFolder folder(workFolder + kVerifierFolder);
  TemporaryFile verifier(folder.path() + exeName);
  const DWORD copied = CopyHeldFile(image, verifier.path(), verifier.hold());
  if (copied != ERROR_SUCCESS) {
    LogNumber(L"[Info] Verification of Update returned %d\n", copied);
    return copied;
  }
  return VerifyDownloadedUpdate(verifier.path().c_str(), filePath.c_str());
}

// The download variant from the transfer on: the update received into the run's own folder and
// held, verified there by a second instance, then the version check and the run.
DWORD VerifyAndRunDownload(ProgressDialog& dialog, const wchar_t* caption, HINSTANCE instance,
                           const HeldFile& image, const std::wstring& exePath,
                           const std::wstring& workFolder, const std::wstring& localPath,
                           std::uint32_t minimum, DownloadedPackage& download) {
  const MessageContext messages = Messages(dialog, instance, caption);
  // The URL cache is the user's: what is verified and run is received into the run's own folder
  // and held from then on, so that what runs is what was checked; a copy that cannot be written
  // and held is as good as one that never arrived.
  const HRESULT transfer = DownloadPackage(download, localPath, dialog);
  // A cancellation wins over whatever the transfer made of it.
  if (dialog.IsCancelled()) {
    ShowCancelledMessage(messages);
    return ERROR_INSTALL_USEREXIT;
  }
  if (FAILED(transfer)) {
    ShowTextMessage(messages, IDS_UPDATE_NOT_FOUND, download.canonicalUrl.c_str());
    return ERROR_FILE_NOT_FOUND;
  }

  const DWORD verdict = VerifyWithCopyOfImage(image, exePath, workFolder, download.localPath);
  if (verdict == kTrustProviderUnknown) {
    ShowErrorMessage(messages, IDS_NO_SIGNATURE_SUPPORT);
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (verdict != ERROR_SUCCESS) {
    ShowTextMessage(messages, IDS_NOT_TRUSTED, download.localPath.c_str());
    return kPackageNotTrusted;
  }
  return ValidateAndRunUpdate(dialog, download.localPath.c_str(), instance, caption, minimum);
}

}  // namespace

InstallerUpgradeCallTable& InstallerUpgradeCalls() {
  static InstallerUpgradeCallTable table;
  return table;
}

DWORD PerformInstallerUpgradeStep(RunState& state) {
  if (!NeedsInstallerUpgrade(state.minimumMsi, &state.engineLibrary)) {
    return ERROR_SUCCESS;
  }
  LogString(L"[Info] Upgrade of Windows Installer is requested\n");
  const MessageContext messages = state.Messages();
  if (!InstallerUpgradeCalls().isUserAdmin()) {
    ShowErrorMessage(messages, IDS_ADMIN_FOR_UPGRADE);
    return ERROR_INSTALL_FAILURE;
  }

  // Asked at every UI level, the silent ones included: an engine upgrade is never made without
  // the user's consent.
  const std::wstring question = LoadTableText(state.instance, IDS_UPGRADE_QUESTION);
  if (ShowMessageBox(state.progress.window, question.c_str(), state.appTitle.c_str(),
                     MB_YESNO | MB_ICONQUESTION) != IDYES) {
    ShowCancelledMessage(messages);
    return ERROR_INSTALL_USEREXIT;
  }

  if (!ReadUpdateSettings(state)) {
    ShowOutOfMemoryMessage(messages);
    return ERROR_OUTOFMEMORY;
  }
  // The update package is the first file the run writes and runs.
  if (!PrepareWorkFolder(state, ERROR_PATH_NOT_FOUND)) {
    return state.exitCode;
  }
  if (state.updateLocation) {
    return UpgradeInstallerFromUrl(state.appTitle.c_str(), state.imageHold, state.exePath,
                                   state.instance, state.progress, state.workFolder.path(),
                                   state.updateLocation.get(), state.updateName.get(),
                                   state.minimumMsi);
  }
  return UpgradeInstallerFromMedia(state.progress, state.appTitle.c_str(), state.instance,
                                   state.workFolder.path(), state.updateName.get(),
                                   state.minimumMsi);
}

bool NeedsInstallerUpgrade(std::uint32_t minimum, ModuleHandle* keepLoaded) {
  wchar_t systemFolder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) {
    LogString(L"[Info] Can't obtain system directory; assuming upgrade is necessary.\n");
    return true;
  }
  std::wstring enginePath;
  if (!text::BoundedCopy(enginePath, systemFolder, MAX_PATH) ||
      !text::BoundedAppend(enginePath, kEngineLibrary, MAX_PATH)) {
    LogString(L"[Info] Can't obtain msi.dll path; assuming upgrade is necessary.\n");
    return true;
  }
  // Loading proves that the library is usable, not merely present. Its own dependencies come
  // from the system folder too, as when the run binds it: the run may keep this load.
  ModuleHandle engine(LoadLibraryExW(enginePath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!engine) {
    LogString(L"[Info] Can't load msi.dll; assuming upgrade is necessary.\n");
    return true;
  }

  std::uint32_t version = 0;
  if (GetFileVersionNumber(enginePath.c_str(), version) != ERROR_SUCCESS) {
    LogString(L"[Info] Can't obtain version information; assuming upgrade is necessary.\n");
    return true;
  }
  if (!MeetsMinimumVersion(version, minimum)) {
    LogNumbers(
        L"[Info] Windows Installer upgrade is required.  System Version = %d, Minimum Version = "
        L"%d.\n",
        EngineVersionNumber(version), minimum);
    return true;
  }
  LogString(L"[Info] No upgrade is necessary.  System version meets minimum requirements\n");
  if (keepLoaded != nullptr) {
    *keepLoaded = std::move(engine);
  }
  return false;
}

DWORD UpgradeInstallerFromMedia(ProgressDialog& dialog, const wchar_t* caption, HINSTANCE instance,
                                const std::wstring& workFolder, const wchar_t* updateName,
                                std::uint32_t minimum) {
  const MessageContext messages = Messages(dialog, instance, caption);

  // Whatever happens, nothing of the package stays in the working folder: also not a file that
  // an interrupted extraction left, nor the folders made for it. The package goes first, then its
  // folders.
  CreatedFolders folders;
  folders.base = workFolder;
  folders.created = FoldersToBeCreated(workFolder, updateName);
  TemporaryFile package(workFolder + updateName);
  const wchar_t* packagePath = package.path().c_str();

  if (!ExtractFileFromResource(IDP_INSTALLER_UPDATE, instance, caption, L"", packagePath,
                               &package.hold())) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (GetFileAttributesW(packagePath) == INVALID_FILE_ATTRIBUTES) {
    ShowTextMessage(messages, IDS_UPDATE_NOT_FOUND, packagePath);
    return ERROR_FILE_NOT_FOUND;
  }
  return ValidateAndRunUpdate(dialog, packagePath, instance, caption, minimum);
}

DWORD UpgradeInstallerFromUrl(const wchar_t* caption, const HeldFile& image,
                              const std::wstring& exePath, HINSTANCE instance,
                              ProgressDialog& dialog, const std::wstring& workFolder,
                              const wchar_t* updateLocation, const wchar_t* updateName,
                              std::uint32_t minimum) {
  const MessageContext messages = Messages(dialog, instance, caption);
  std::wstring composedUrl;
  const std::size_t composedCapacity = ComposedUrlCapacity(updateLocation, updateName);
  if (!ComposeDownloadUrl(updateLocation, updateName, composedCapacity, composedUrl)) {
    ShowTextMessage(messages, IDS_INVALID_PATH, composedUrl.c_str());
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::wstring canonicalUrl;
  const DWORD canonical = CanonicalizeDownloadUrl(composedUrl, composedCapacity, canonicalUrl);
  if (canonical == ERROR_OUTOFMEMORY) {
    ShowOutOfMemoryMessage(messages);
    return canonical;
  }
  if (canonical != ERROR_SUCCESS) {
    ShowTextMessage(messages, IDS_INVALID_PATH, composedUrl.c_str());
    return canonical;
  }
  LogString(L"[Info] Downloading update package from --> %s\n", canonicalUrl.c_str());

  const std::wstring detail = LoadTableText(instance, IDS_DOWNLOADING_UPDATE);
  if (dialog.SetDetailText(detail.c_str()) == 1) {
    ShowCancelledMessage(messages);
    return ERROR_INSTALL_USEREXIT;
  }

  // From here on the cache may hold a copy, and neither it nor the run's own copy may outlive the
  // step, whichever way the step ends: their owners remove them, the copy before its folders.
  CreatedFolders folders;
  folders.base = workFolder;
  folders.created = FoldersToBeCreated(workFolder, updateName);
  DownloadedPackage download;
  download.canonicalUrl = canonicalUrl;
  download.cacheEntryPending = true;
  return VerifyAndRunDownload(dialog, caption, instance, image, exePath, workFolder,
                              workFolder + updateName, minimum, download);
}

DWORD ValidateAndRunUpdate(ProgressDialog& dialog, const wchar_t* packagePath, HINSTANCE instance,
                           const wchar_t* caption, std::uint32_t minimum) {
  const MessageContext messages = Messages(dialog, instance, caption);
  if (!IsUpdateVersionSufficient(packagePath, minimum)) {
    ShowTextMessage(messages, IDS_INVALID_UPDATE, packagePath);
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD exitCode = RunUpdatePackage(packagePath);
  switch (exitCode) {
    case ERROR_SUCCESS:
    case ERROR_SUCCESS_REBOOT_REQUIRED:
      // Installed; a needed restart is offered at the end of the run.
      return exitCode;
    case ERROR_FILE_NOT_FOUND:
      ShowTextMessage(messages, IDS_UPDATE_NOT_FOUND, packagePath);
      return exitCode;
    default:
      // 3011 included: the engine cannot be used in this run, so it is a failure here.
      ShowNumberMessage(messages, IDS_UPGRADE_FAILED, static_cast<std::int32_t>(exitCode));
      return exitCode;
  }
}

bool IsUpdateVersionSufficient(const wchar_t* packagePath, std::uint32_t minimum) {
  std::uint32_t version = 0;
  if (GetFileVersionNumber(packagePath, version) != ERROR_SUCCESS) {
    LogString(
        L"[Info] Can't obtain version information for update package; assuming it is not the "
        L"proper version\n");
    return false;
  }
  if (!MeetsMinimumVersion(version, minimum)) {
    LogNumbers(
        L"[Info] The update package is improper version for upgrade. Update package Version = "
        L"%d, Minimum Version = %d.\n",
        EngineVersionNumber(version), minimum);
    return false;
  }
  return true;
}

DWORD RunUpdatePackage(const wchar_t* packagePath) {
  LogString(L"[Info] Running update package from --> %s\n", packagePath);
  return RunShownAndWait(BuildUpdateCommandLine(packagePath));
}

DWORD VerifyDownloadedUpdate(const wchar_t* exePath, const wchar_t* filePath) {
  const DWORD result = RunShownAndWait(BuildVerifyCommandLine(exePath, filePath));
  LogNumber(L"[Info] Verification of Update returned %d\n", result);
  return result;
}

DWORD GetFileVersionNumber(const wchar_t* path, std::uint32_t& version) {
  const VersionFunctionTable& functions = VersionFunctions();
  if (functions.getFileVersionInfoSize == nullptr || functions.getFileVersionInfo == nullptr ||
      functions.verQueryValue == nullptr) {
    return ERROR_PROC_NOT_FOUND;
  }
  DWORD ignored = 0;
  const DWORD size = functions.getFileVersionInfoSize(path, &ignored);
  if (size == 0) {
    return LastErrorOr(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  HGLOBAL block = GlobalAlloc(GMEM_ZEROINIT, size);
  if (block == nullptr) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD result = ERROR_SUCCESS;
  if (!functions.getFileVersionInfo(path, 0, size, block)) {
    result = LastErrorOr(ERROR_RESOURCE_DATA_NOT_FOUND);
  } else {
    // A version resource may carry only texts; such a file counts as new enough.
    void* fixed = nullptr;
    UINT fixedLength = 0;
    const bool found = functions.verQueryValue(block, kFixedInfoQuery, &fixed, &fixedLength) &&
                       fixed != nullptr && fixedLength >= sizeof(VS_FIXEDFILEINFO);
    version =
        found ? static_cast<const VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS : kNoFixedFileVersion;
  }
  GlobalFree(block);
  return result;
}

#include "driver/CleanUp.h"

#include <string>

#include "config/CommandLine.h"
#include "driver/RunState.h"
#include "net/PackageDownload.h"
#include "payload/CheckedFolder.h"
#include "payload/FileUtilities.h"
#include "payload/PayloadExtraction.h"
#include "payload/WorkFolder.h"
#include "prereq/RuntimePrerequisite.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/PlatformChecks.h"
#include "ui/MessageBoxes.h"
#include "ui/MessageTable.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kInstallLocation[] = L"InstallLocation";

// The view of the registry where the uninstall entry `key` is: the 32-bit one for a 32-bit
// package, the 64-bit one for a 64-bit package, whichever program installed it. The 32-bit view
// when it is in neither, so that the reader says what it did not find.
REGSAM UninstallEntryView(const std::wstring& key) {
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &opened) ==
        ERROR_SUCCESS) {
      RegCloseKey(opened);
      return view;
    }
  }
  return KEY_WOW64_32KEY;
}

// The product's install folder, read afresh each time from its uninstall entry.
std::wstring ReadInstallDir(const RunState& state) {
  const std::wstring key = kUninstallKey + state.productCode;
  return getRegistryValue(key, kInstallLocation, UninstallEntryView(key));
}

std::wstring WithBackslash(std::wstring folder) {
  if (folder.empty() || folder.back() != L'\\') {
    folder.push_back(L'\\');
  }
  return folder;
}

// Writes a new file `name` into `folder`, a folder that a user may be able to write, through
// `write` (given the new file's handle): nothing there is followed, and whatever had the name
// loses it. A file that could not be written whole goes again. 0, kLinkInTheWay, or the error.
template <typename Write>
DWORD WriteNewFile(const std::wstring& folder, const wchar_t* name, Write write) {
  CheckedFolder target;
  FileHandle file;
  DWORD error = target.Open(folder);
  if (error == ERROR_SUCCESS) {
    error = target.CreateFile(name, GENERIC_WRITE | DELETE, FILE_SHARE_READ, file);
  }
  if (error == ERROR_SUCCESS && !write(file.get())) {
    error = LastErrorOr(ERROR_WRITE_FAULT);
    DeleteByHandle(file.get());
  }
  return error;
}

// The installer's log where the installer wrote it, in the run's own folder.
FileHandle OpenInstallerLog(const RunState& state) {
  if (state.msiLogPath.empty()) {
    return FileHandle();
  }
  return FileHandle(CreateFileW(state.msiLogPath.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The installer's log is kept in the temporary folder, or, when a link stands in the way, in the
// Windows folder's Temp, which the log says.
void KeepInstallerLog(const RunState& state) {
  const FileHandle log = OpenInstallerLog(state);
  if (!log || state.msiLogFolder.empty()) {
    return;
  }
  const auto copy = [&log](HANDLE target) { return CopyContent(log.get(), target); };
  const wchar_t* name = state.msiLogName.c_str();
  std::wstring elsewhere;
  if (WriteNewFile(state.msiLogFolder, name, copy) == kLinkInTheWay &&
      WindowsTempFolder(elsewhere) && WriteNewFile(elsewhere, name, copy) == ERROR_SUCCESS) {
    LogString(kLogKeptElsewhere, (state.msiLogFolder + name).c_str(), (elsewhere + name).c_str());
  }
}

void CopyInstallerLog(const RunState& state) {
  if (state.mode != CommandLineResult::Normal || state.productCode.empty() ||
      state.msiLogName.empty()) {
    LogString(L"[Info] unable to copy Install log file.\n");
    return;
  }
  const std::wstring installDir = ReadInstallDir(state);
  if (!installDir.empty() && IsExistingFolder(installDir.c_str())) {
    // From the run's own copy, which nobody else could have changed or replaced by a link.
    const FileHandle log = OpenInstallerLog(state);
    if (log) {
      WriteNewFile(WithBackslash(installDir), state.msiLogName.c_str(),
                   [&log](HANDLE target) { return CopyContent(log.get(), target); });
    }
    LogString(L"[Info] copy Install log file to INSTALLDIR.\n");
  } else {
    LogString(L"[Info] failed to copy Install log file.\n");
  }
}

// The XML parser package and its folders, once msi.dll was bound. Without a working folder the
// folders would be looked for at the root of the current drive.
void RemoveParserPackage(RunState& state) {
  state.prereqPackageHold.Release();
  const std::wstring& workFolder = state.workFolder.path();
  if (!state.prereqPackagePath.empty() && !workFolder.empty()) {
    DeleteFileW(state.prereqPackagePath.c_str());
    RemoveDirectory(workFolder.c_str(), L"\\Prereqs\\MSXML6");
    RemoveDirectory(workFolder.c_str(), L"\\Prereqs");
  }
}

// The readme and support document.
void RemoveOemFiles(const RunState& state) {
  if (!state.oemFolder.empty()) {
    const wchar_t* workFolder = state.workFolder.path().c_str();
    DeleteFile(workFolder, kOemSubfolder, kReadmeName);
    DeleteFile(workFolder, kOemSubfolder, kSupportDocumentName);
    RemoveDirectory(workFolder, kOemSubfolder);
  }
}

// The ini file that /w has the installer write into the temporary folder goes beside the
// executable, replacing the one there, and then leaves the temporary folder. It is read only when
// it is the regular file the installer wrote, no link and no second name of another file (which
// would be copied where the user can read it), and nothing is written through a link at its new
// place; what could not be brought back stays where it is.
void BringIniFileBack(const RunState& state) {
  CheckedFolder temp;
  FileHandle written;
  if (state.mediaFolder.empty() || temp.Open(state.tempFolder) != ERROR_SUCCESS ||
      temp.OpenFile(state.iniFileName.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ, written) != ERROR_SUCCESS) {
    return;
  }
  if (WriteNewFile(state.mediaFolder, state.iniFileName.c_str(), [&written](HANDLE target) {
        return CopyContent(written.get(), target);
      }) == ERROR_SUCCESS) {
    DeleteByHandle(written.get());
  }
}

// The product's ini file. The copy of the distributor's ini went to the working folder; the one
// that /w has the installer write is in the temporary folder, and goes back beside the
// executable.
void RemoveIniFile(const RunState& state) {
  if (state.iniFileName.empty()) {
    return;
  }
  if (state.workFolder.created()) {
    DeleteFile(state.workFolder.path().c_str(), L"", state.iniFileName.c_str());
  }
  if (state.options.writeIniFile() && !state.tempFolder.empty()) {
    BringIniFileBack(state);
  }
}

// The extracted package; a downloaded one is the download's own copy, removed with it. Then the
// run's own folder beside the executable, when there was no temporary folder; it stays while it
// holds the installer's log.
void RemovePackage(RunState& state) {
  state.packageHold.Release();
  if (state.packageExtracted && !state.packagePath.empty()) {
    DeleteFileW(state.packagePath.c_str());
  }
  if (state.tempFolderIsFallback && !state.tempFolder.empty()) {
    RemoveDirectory(state.tempFolder.c_str(), L"");
  }
}

// The downloaded package's copies, then the working folder with whatever is still in it (the
// installer's log, kept by now).
void RemoveWorkFolder(RunState& state) {
  if (state.download.cacheEntryPending) {
    RemoveDownloadedCopy(state.download);
  }
  SetProgramStartFolder(L"");
  state.workFolder.Remove();
}

void ReleaseRun(RunState& state) {
  state.operation.reset();
  state.productName.reset();
  state.databaseName.reset();
  state.minimumMsiText.reset();
  state.updateName.reset();
  state.updateLocation.reset();
  state.baseUrl.reset();
  state.properties.reset();
  state.packagePath.clear();
  state.imageTrust.Release();
  // A run that ended before the installer took over still has its progress window.
  if (state.progress.window != nullptr) {
    ShowWindow(state.progress.window, SW_HIDE);
    state.progress.Destroy();
  }
  UnbindMsi(state.msi);
  state.engineLibrary.reset();
  // Nothing is extracted any more; the image's hold goes with the run.
  ReadPayloadsFrom(nullptr);
}

void CopyBootstrapLog(const RunState& state) {
  if (state.mode != CommandLineResult::Normal || !HasLogFile()) {
    return;
  }
  const std::wstring installDir = ReadInstallDir(state);
  if (installDir.empty() || !IsExistingFolder(installDir.c_str())) {
    LogString(L"[Info] unable to copy bootstrapper log file.\n");
    return;
  }
  // Logged before the copy, so the copy ends with this line. Read through the run's own hold.
  LogString(L"[Info] copy bootstrapper log file to INSTALLDIR.\n");
  WriteNewFile(WithBackslash(installDir), kBootstrapLogName, CopyLogInto);
}

// The log goes once its last line is written and copied, then the mutex, before the restart
// question: a run that starts from here on finds the log as this run leaves it and makes its
// own, and this run writes into no other run's log.
void LetGo(RunState& state) {
  ReleaseLogFile();
  if (state.instanceMutex != nullptr) {
    CloseHandle(state.instanceMutex);
    state.instanceMutex = nullptr;
  }
}

void OfferRestart(const RunState& state) {
  if (!state.restartRequested) {
    return;
  }
  const std::wstring question = LoadTableText(state.instance, IDS_RESTART_QUESTION);
  // Asked at every UI level: the engine upgrade cannot be used until the machine restarts.
  if (ShowMessageBox(nullptr, question.c_str(), state.appTitle.c_str(),
                     MB_YESNO | MB_ICONQUESTION) == IDYES) {
    // Both results are left alone: without the privilege the restart is still asked for, and a
    // restart that does not happen leaves the exit code as it is.
    RestartCalls().enableShutdownPrivilege();
    RestartCalls().exitWindowsEx(EWX_REBOOT, kRestartReason);
  }
}

// Runs one clean-up action. Nothing in clean-up may change the outcome of the run, and an
// action that fails for lack of memory must not keep the later ones (the mutex, the exit-code
// line, the restart question) from happening: it only leaves something behind.
template <typename Action>
void Attempt(Action action) {
  try {
    action();
  } catch (...) {
  }
}

}  // namespace

RestartCallTable& RestartCalls() {
  static RestartCallTable table;
  return table;
}

DWORD CleanUp(RunState& state) {
  Attempt([&] { LogString(L"[Info] Begin CleanUp.\n"); });
  Attempt([&] { KeepInstallerLog(state); });
  Attempt([&] { CopyInstallerLog(state); });
  // One attempt each, so that a removal that fails for lack of memory leaves only its own files.
  Attempt([&] { RemoveParserPackage(state); });
  Attempt([&] { RemoveOemFiles(state); });
  Attempt([&] { RemoveIniFile(state); });
  Attempt([&] { RemovePackage(state); });
  Attempt([&] { RemoveWorkFolder(state); });
  Attempt([&] { ReleaseRun(state); });
  Attempt([&] { LogNumber(L"[Info] Setup exit code is %d\n", state.exitCode); });
  Attempt([&] { CopyBootstrapLog(state); });
  Attempt([&] { LetGo(state); });
  Attempt([&] { OfferRestart(state); });
  return state.exitCode;
}

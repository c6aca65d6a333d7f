// Everything one run of the bootstrapper keeps between entry and exit. The run owns every buffer,
// handle and path here; clean-up releases all of them, whichever step ended the run, and every
// clean-up action skips a field that an early failure left empty.
#pragma once

#include <cstdint>
#include <string>

#include "config/CommandLine.h"
#include "config/ProductOptions.h"
#include "config/ResourceSettings.h"
#include "driver/MsiBindings.h"
#include "net/PackageDownload.h"
#include "net/SignatureVerification.h"
#include "payload/HeldFile.h"
#include "payload/WorkFolder.h"
#include "sys/RunTimeBinding.h"
#include "sys/Win32.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgressDialog.h"

// Names of what the run prepares beside the package: the OEM folder in the temporary folder (and
// beside the executable, for the distributor's replacements) and the files written into it.
inline constexpr wchar_t kOemSubfolder[] = L"OEM\\";
inline constexpr wchar_t kReadmeName[] = L"readme.txt";
inline constexpr wchar_t kSupportDocumentName[] = L"technicalsupport.rtf";

struct RunState {
  // Result of the run, returned as the process exit code; HRESULTs are kept as their bit pattern.
  DWORD exitCode = ERROR_SUCCESS;
  CommandLineResult mode = CommandLineResult::Normal;
  RunOptions options;

  HINSTANCE instance = nullptr;
  std::wstring appTitle;  // string 11, whole
  std::wstring exePath;
  // The executable itself, held for the whole run: its checks read the held file, and what the
  // run starts of it (the verifying instance) is a copy of the held file, never its path. A file
  // that cannot be held (imageHoldResult, the error of the attempt) ends the run at its check.
  HeldFile imageHold;
  DWORD imageHoldResult = ERROR_SUCCESS;
  std::wstring mediaFolder;  // the executable's folder, ending in a backslash
  // The first verification of the executable's own signature, which every later look at it
  // repeats.
  RunningImageTrust imageTrust;

  // Settings read from the executable's resources; null when absent.
  SettingBuffer operation;
  SettingBuffer productName;
  SettingBuffer databaseName;
  SettingBuffer minimumMsiText;
  SettingBuffer updateName;
  SettingBuffer updateLocation;
  SettingBuffer baseUrl;
  SettingBuffer packageSigner;  // read on the download path only
  SettingBuffer properties;
  std::wstring iniFileName;
  std::uint32_t minimumMsi = 0;
  ProductOptions product;  // prerequisites and feature selection chosen by the product

  // The temporary folder, ending in a backslash: where the logs are kept, and where the installer
  // writes the ini file that /w asks for.
  std::wstring tempFolder;
  bool tempFolderIsFallback = false;  // tempFolder is the run's own folder beside the executable
  // The run's own folder for every file it writes and then runs, installs or verifies, made when
  // the first such file is due; only SYSTEM and Administrators can reach it.
  WorkFolder workFolder;
  bool packageExtracted = false;  // packagePath names a file the run wrote
  // What the installer is given: the extracted package, or the verified copy of a downloaded one.
  std::wstring packagePath;
  HeldFile packageHold;          // the extracted package, held from its writing to clean-up
  std::wstring oemFolder;        // work folder + "OEM\"; media path only
  std::wstring oemSourceFolder;  // mediaFolder + "OEM\"; media path only
  DownloadedPackage download;    // the package fetched from BASEURL, if any

  bool restartRequested = false;          // the engine upgrade asked for a restart
  DWORD postInstallCode = ERROR_SUCCESS;  // 3010/3011 kept from a silent runtime install
  bool useReinstall = false;
  // The single-instance mutex, created before the first log line and held to the end of the run;
  // or another instance held it then.
  HANDLE instanceMutex = nullptr;
  bool anotherInstanceRuns = false;
  ProgressDialog progress;

  // The installer invocation. The engine check's load of msi.dll, kept when no upgrade was
  // needed, is freed with the bindings.
  ModuleHandle engineLibrary;
  MsiBindings msi;
  // The UI level the installer is given: the command line's, or none where nobody sees the
  // window station.
  std::uint32_t installerUiLevel = kUiLevelFull;
  std::wstring prereqPackagePath;
  HeldFile prereqPackageHold;  // the XML parser package, held from its writing to clean-up
  std::wstring productCode;
  std::wstring packageVersion;
  std::wstring msiLogPath;  // where the installer writes its log: in the run's own folder
  std::wstring msiLogName;
  std::wstring msiLogFolder;  // where the installer log is kept at the end: the temporary folder
  std::wstring commandLine;

  bool silent() const { return options.silent(); }

  // Message boxes are owned by the progress dialog while it exists and by no window afterwards.
  MessageContext Messages() const {
    return MessageContext{instance, progress.window, appTitle.c_str()};
  }
  MessageContext Messages(const wchar_t* caption) const {
    return MessageContext{instance, progress.window, caption};
  }
};

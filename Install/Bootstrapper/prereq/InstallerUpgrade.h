// Upgrading the Windows Installer engine when it is older than the product's minimum, after
// asking, from the update package in the executable or one downloaded from UPDATELOCATION.
// Versions are major * 100 + minor, the form of MINIMUM_MSI. Every operation that returns a code
// has shown its one message when the code is a failure.
#pragma once

#include <cstdint>
#include <string>

#include "payload/HeldFile.h"
#include "sys/PlatformChecks.h"
#include "sys/RunTimeBinding.h"
#include "sys/Win32.h"
#include "ui/ProgressDialog.h"

struct RunState;

// The engine step of the run: 0 to go on, 3010 to go on with a restart pending, anything else
// ends the run with that result (already reported). Reads UPDATE and UPDATELOCATION into the
// run's state when an upgrade is needed.
DWORD PerformInstallerUpgradeStep(RunState& state);

// True when the engine in the system folder is older than `minimum`, or when its version cannot
// be learned. With `keepLoaded`, an engine that is new enough stays loaded in it, so that the run
// binds the library it has already loaded instead of loading it a second time; an engine that is
// to be upgraded is always freed at once, so that the run never binds the old one.
bool NeedsInstallerUpgrade(std::uint32_t minimum, ModuleHandle* keepLoaded = nullptr);

// Writes the update package carried as payload 1001 to the run's working folder `workFolder`
// under `updateName`, runs it when its version is sufficient, and deletes it again.
DWORD UpgradeInstallerFromMedia(ProgressDialog& dialog, const wchar_t* caption, HINSTANCE instance,
                                const std::wstring& workFolder, const wchar_t* updateName,
                                std::uint32_t minimum);

// Downloads `updateLocation`/`updateName` into the run's working folder `workFolder` under
// `updateName`, held, has a second instance of this executable verify it, and runs it when
// trusted and of a sufficient version. The second instance is a copy of `image`, the held
// executable (whose path `exePath` only names the copy), made in `workFolder`. The copies and the
// cache entry are removed before it returns.
DWORD UpgradeInstallerFromUrl(const wchar_t* caption, const HeldFile& image,
                              const std::wstring& exePath, HINSTANCE instance,
                              ProgressDialog& dialog, const std::wstring& workFolder,
                              const wchar_t* updateLocation, const wchar_t* updateName,
                              std::uint32_t minimum);

// Runs the package at `packagePath` when its own version reaches `minimum`, and turns its exit
// code into the step's result: 0 and 3010 pass, everything else is reported.
DWORD ValidateAndRunUpdate(ProgressDialog& dialog, const wchar_t* packagePath, HINSTANCE instance,
                           const wchar_t* caption, std::uint32_t minimum);

// False when the package's version cannot be read or is below `minimum`.
bool IsUpdateVersionSufficient(const wchar_t* packagePath, std::uint32_t minimum);

// Runs the package unattended without restarting; its exit code, or the Windows error when it
// could not be started or waited for.
DWORD RunUpdatePackage(const wchar_t* packagePath);

// Starts `exePath /v "filePath"` and waits for its verdict: 0 trusted, 0x800B0001 signatures
// cannot be verified on this system, anything else not trusted (or the Windows error when the
// instance could not be started).
DWORD VerifyDownloadedUpdate(const wchar_t* exePath, const wchar_t* filePath);

// The most significant 32 bits of the file version of `path`: 0 with `version` set, or the
// Windows error. A version resource without a fixed-information block gives 0xFFFFFFFF.
DWORD GetFileVersionNumber(const wchar_t* path, std::uint32_t& version);

// The step's administrator check. The user of a test machine (a Wine prefix) is always an
// administrator, so the refusal can only be tested by replacing this entry; tests put it back.
struct InstallerUpgradeCallTable {
  decltype(&::IsUserAdmin) isUserAdmin = &::IsUserAdmin;
};

// The table in use.
InstallerUpgradeCallTable& InstallerUpgradeCalls();

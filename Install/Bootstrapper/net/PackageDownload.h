// Fetching the product package from the base URL into the system's URL cache, with progress in
// the dialog and the Escape key as the way to cancel, and checking the downloaded copy's
// signature before anything is installed.
#pragma once

#include <string>

#include "net/SignatureVerification.h"
#include "payload/HeldFile.h"
#include "sys/Win32.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgressDialog.h"

// Result of a downloaded package that is not trusted.
constexpr DWORD kPackageNotTrusted = 4;

// A download and its copy in the URL cache, which the owner removes however its step ends.
struct DownloadedPackage {
  std::wstring canonicalUrl;   // where the package came from
  std::wstring cacheFilePath;  // the downloaded copy that was verified, and is used
  // The transfer was started, so a copy may sit in the URL cache: clean-up must remove it.
  bool cacheEntryPending = false;
  // The copy, held from before its signature is checked until it has been used.
  HeldFile copy;

  ~DownloadedPackage();
};

// The whole package download of the run. 0 with `package` filled when downloaded and trusted;
// otherwise the result (14, 1603, a canonicalisation error, 1602, 2, 120, 4) after its box. The
// copy is verified, through its hold, against the executable at `exePath`, held as `exeFile`.
// `image` answers the checks of the executable itself from its first verification.
DWORD ResolvePackageFromUrl(const wchar_t* baseUrl, const wchar_t* packageName,
                            const wchar_t* exePath, HANDLE exeFile, RunningImageTrust& image,
                            ProgressDialog& dialog, const MessageContext& messages,
                            DownloadedPackage& package);

// Lets go of the copy, removes its entry from the URL cache (result ignored) when a transfer was
// started, and forgets the URL and path.
void RemoveDownloadedCopy(DownloadedPackage& package);

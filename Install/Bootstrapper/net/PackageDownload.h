// Fetching the product package from the base URL into the run's own folder, with progress in the
// dialog and the Escape key as the way to cancel, and checking the downloaded copy's signature
// before anything is installed.
#pragma once

#include <string>

#include "net/SignatureVerification.h"
#include "payload/HeldFile.h"
#include "sys/Win32.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgressDialog.h"

// Result of a downloaded package that is not trusted.
constexpr DWORD kPackageNotTrusted = 4;

// A download, its copy in the URL cache and the run's own copy of it, which the owner removes
// however its step ends.
struct DownloadedPackage {
  std::wstring canonicalUrl;   // where the package came from
  std::wstring cacheFilePath;  // the copy the URL cache kept on the way, for the log only
  // The transfer was started, so a copy may sit in the URL cache: clean-up must remove it.
  bool cacheEntryPending = false;
  // The run's own copy in its working folder, written from the transfer's bytes and held from
  // then until it has been used: this is the copy that is verified and used.
  std::wstring localPath;
  HeldFile local;

  ~DownloadedPackage();
};

// Downloads `package.canonicalUrl` into `localPath` in the run's working folder, held (see
// DownloadToHeldFile), and marks the cache entry the transfer may leave for removal. The
// transfer's HRESULT, or the error of writing the copy.
HRESULT DownloadPackage(DownloadedPackage& package, const std::wstring& localPath,
                        ProgressDialog& dialog);

// The whole package download of the run. 0 with `package` filled when downloaded and trusted;
// otherwise the result (14, 1603, a canonicalisation error, 1602, 2, 120, 4) after its box. The
// package is received into `workFolder` under its own name, and that copy is verified against the
// executable at `exePath`, held as `exeFile`, with `signer` saying who may have signed it.
// `image` answers the checks of the executable itself from its first verification.
DWORD ResolvePackageFromUrl(const wchar_t* baseUrl, const wchar_t* packageName,
                            const wchar_t* exePath, HANDLE exeFile, RunningImageTrust& image,
                            PackageSigner signer, const std::wstring& workFolder,
                            ProgressDialog& dialog, const MessageContext& messages,
                            DownloadedPackage& package);

// Lets go of the run's copy and deletes it, removes the entry from the URL cache (result ignored)
// when a transfer was started, and forgets the URL and paths.
void RemoveDownloadedCopy(DownloadedPackage& package);

// Fetching the product package from the base URL into the system's URL cache, with progress in
// the dialog and the Escape key as the way to cancel, and checking the downloaded copy's
// signature before anything is installed.
#pragma once

#include <string>

#include "sys/Win32.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgressDialog.h"

struct DownloadedPackage {
  std::wstring canonicalUrl;   // what the Windows Installer is given
  std::wstring cacheFilePath;  // the downloaded copy that was verified
  bool cacheEntryPending = false;  // the transfer was started: the cache entry must be removed
};

// The base URL, a "/" unless it already ends with one, and the file name. False when a bounded
// step did not fit; `url` then holds what was composed so far.
bool ComposeDownloadUrl(const wchar_t* baseUrl, const wchar_t* fileName, std::wstring& url);

// The URL in the canonical form InternetCanonicalizeUrlW gives it. 0, ERROR_OUTOFMEMORY (14)
// when no buffer could be had, or the error of the canonicalisation.
DWORD CanonicalizeDownloadUrl(const std::wstring& composedUrl, std::wstring& canonicalUrl);

// Downloads `canonicalUrl` into the URL cache with progress in `dialog`, which can cancel the
// transfer. The HRESULT of the transfer; on success `cacheFilePath` names the cached copy.
HRESULT DownloadToCache(const wchar_t* canonicalUrl, ProgressDialog& dialog,
                        std::wstring& cacheFilePath);

// The whole package download of the run. 0 with `package` filled when downloaded and trusted;
// otherwise the result (14, 1603, a canonicalisation error, 1602, 2, 120, 4) after its box.
DWORD ResolvePackageFromUrl(const wchar_t* baseUrl, const wchar_t* packageName,
                            const wchar_t* exePath, ProgressDialog& dialog,
                            const MessageContext& messages, DownloadedPackage& package);

// Removes the downloaded copy's entry from the URL cache (result ignored) and forgets the URL
// and path.
void RemoveDownloadedCopy(DownloadedPackage& package);

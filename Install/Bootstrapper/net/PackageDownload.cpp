#include "net/PackageDownload.h"

#include <memory>
#include <new>

#include "net/DownloadTransfer.h"
#include "net/DownloadUrl.h"
#include "net/SignatureVerification.h"
#include "payload/PayloadExtraction.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/LineFormat.h"
#include "ui/MessageTable.h"

namespace {

constexpr std::size_t kStatusTextCapacity = 2048;

// One of the dialog's detail lines, string `id` with the package name for its "%s"; false when
// the user has cancelled, after telling them.
bool ShowDetail(ProgressDialog& dialog, const MessageContext& messages, UINT id,
                const wchar_t* packageName) {
  const std::wstring format = LoadTableText(messages.instance, id);
  // A name too long for the line is shown cut; the line is only a status.
  std::wstring detail;
  linefmt::FormatBounded(detail, format.c_str(), {linefmt::Arg::Text(packageName)},
                         kStatusTextCapacity);
  if (dialog.SetDetailText(detail.c_str()) == 1) {
    ShowCancelledMessage(messages);
    return false;
  }
  return true;
}

DWORD Download(const wchar_t* baseUrl, const wchar_t* packageName, const wchar_t* exePath,
               HANDLE exeFile, RunningImageTrust& image, const std::wstring& workFolder,
               ProgressDialog& dialog, const MessageContext& messages, DownloadedPackage& package) {
  LogString(L"[Info] BASEURL found: %s\n", baseUrl);

  std::wstring composedUrl;
  const std::size_t composedCapacity = ComposedUrlCapacity(baseUrl, packageName);
  if (!ComposeDownloadUrl(baseUrl, packageName, composedCapacity, composedUrl)) {
    ShowErrorMessage(messages, IDS_INTERNAL_ERROR);
    return ERROR_INSTALL_FAILURE;
  }

  const DWORD canonical =
      CanonicalizeDownloadUrl(composedUrl, composedCapacity, package.canonicalUrl);
  if (canonical == ERROR_OUTOFMEMORY) {
    ShowOutOfMemoryMessage(messages);
    return ERROR_OUTOFMEMORY;
  }
  if (canonical != ERROR_SUCCESS) {
    ShowTextMessage(messages, IDS_INVALID_PATH, composedUrl.c_str());
    return canonical;
  }
  const wchar_t* url = package.canonicalUrl.c_str();

  if (!ShowDetail(dialog, messages, IDS_DOWNLOADING_PACKAGE, packageName)) {
    return ERROR_INSTALL_USEREXIT;
  }
  LogString(L"[Info] Downloading msi file %s for WinVerifyTrust check\n", url);

  std::unique_ptr<wchar_t[]> cacheFile(new (std::nothrow) wchar_t[MAX_PATH]);
  if (!cacheFile) {
    ShowOutOfMemoryMessage(messages);
    return ERROR_OUTOFMEMORY;
  }
  // From here on a copy may sit in the URL cache, whatever the transfer answers.
  package.cacheEntryPending = true;
  const HRESULT transfer = DownloadToCache(url, dialog, cacheFile.get());

  // Escape wins over whatever the transfer made of it, a completed transfer included.
  if (dialog.IsCancelled()) {
    ShowCancelledMessage(messages);
    return ERROR_INSTALL_USEREXIT;
  }
  package.cacheFilePath = cacheFile.get();
  // Held before its signature is checked, so that the bytes checked are the bytes installed; a
  // copy that cannot be held is as good as one that never arrived.
  if (FAILED(transfer) || package.copy.Take(package.cacheFilePath.c_str()) != ERROR_SUCCESS) {
    ShowTextMessage(messages, IDS_PACKAGE_NOT_FOUND, url);
    return ERROR_FILE_NOT_FOUND;
  }
  LogString(L"[Info] Msi file was cached to %s\n", package.cacheFilePath.c_str());
  // The URL cache is the user's: the package is checked and used as a copy in the run's own
  // folder, under the package's own name, which the installer keeps as the product's package name
  // for later repairs.
  if (MakeLocalCopy(package, workFolder + packageName) != ERROR_SUCCESS) {
    ShowTextMessage(messages, IDS_PACKAGE_NOT_FOUND, url);
    return ERROR_FILE_NOT_FOUND;
  }

  if (!ShowDetail(dialog, messages, IDS_VERIFYING_SIGNATURE, packageName)) {
    return ERROR_INSTALL_USEREXIT;
  }
  switch (VerifyPackageTrust(exePath, exeFile, package.localPath.c_str(), package.local.handle(),
                             &image)) {
    case kTrustTrusted:
      return ERROR_SUCCESS;
    case kTrustCannotVerify:
      ShowErrorMessage(messages, IDS_NO_SIGNATURE_SUPPORT);
      return ERROR_CALL_NOT_IMPLEMENTED;
    default:
      // The user knows the package by its URL, not by the cache file's name.
      ShowTextMessage(messages, IDS_NOT_TRUSTED, url);
      return kPackageNotTrusted;
  }
}

}  // namespace

DWORD MakeLocalCopy(DownloadedPackage& package, const std::wstring& localPath) {
  package.localPath = localPath;
  const DWORD copied = CopyHeldFile(package.copy, localPath, package.local);
  // The cache's copy has served its purpose.
  package.copy.Release();
  return copied;
}

DWORD ResolvePackageFromUrl(const wchar_t* baseUrl, const wchar_t* packageName,
                            const wchar_t* exePath, HANDLE exeFile, RunningImageTrust& image,
                            const std::wstring& workFolder, ProgressDialog& dialog,
                            const MessageContext& messages, DownloadedPackage& package) {
  try {
    return Download(baseUrl, packageName, exePath, exeFile, image, workFolder, dialog, messages,
                    package);
  } catch (const std::bad_alloc&) {
    ShowOutOfMemoryMessage(messages);
    return ERROR_OUTOFMEMORY;
  }
}

DownloadedPackage::~DownloadedPackage() { RemoveDownloadedCopy(*this); }

void RemoveDownloadedCopy(DownloadedPackage& package) {
  // The holds go first: they keep the copies from being deleted.
  package.copy.Release();
  package.local.Release();
  if (!package.localPath.empty()) {
    DeleteFileW(package.localPath.c_str());
  }
  if (package.cacheEntryPending && !package.canonicalUrl.empty()) {
    DeleteCachedCopy(package.canonicalUrl.c_str());
  }
  package.canonicalUrl = std::wstring();
  package.cacheFilePath = std::wstring();
  package.localPath = std::wstring();
  package.cacheEntryPending = false;
}

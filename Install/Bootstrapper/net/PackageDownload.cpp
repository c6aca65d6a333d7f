#include "net/PackageDownload.h"

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
               HANDLE exeFile, RunningImageTrust& image, PackageSigner signer,
               const std::wstring& workFolder, ProgressDialog& dialog,
               const MessageContext& messages, DownloadedPackage& package) {
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

  // The URL cache is the user's: the package is received into the run's own folder, under its
  // own name, which the installer keeps as the product's package name for later repairs; it is
  // checked and used there. A copy that could not be written and held is as good as one that
  // never arrived.
  const HRESULT transfer = DownloadPackage(package, workFolder + packageName, dialog);

  // Escape wins over whatever the transfer made of it, a completed transfer included.
  if (dialog.IsCancelled()) {
    ShowCancelledMessage(messages);
    return ERROR_INSTALL_USEREXIT;
  }
  if (FAILED(transfer)) {
    ShowTextMessage(messages, IDS_PACKAGE_NOT_FOUND, url);
    return ERROR_FILE_NOT_FOUND;
  }
  LogString(L"[Info] Msi file was cached to %s\n",
            (package.cacheFilePath.empty() ? package.localPath : package.cacheFilePath).c_str());

  if (!ShowDetail(dialog, messages, IDS_VERIFYING_SIGNATURE, packageName)) {
    return ERROR_INSTALL_USEREXIT;
  }
  switch (VerifyPackageTrust(exePath, exeFile, package.localPath.c_str(), package.local.handle(),
                             &image, signer)) {
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

HRESULT DownloadPackage(DownloadedPackage& package, const std::wstring& localPath,
                        ProgressDialog& dialog) {
  // From here on a copy may sit in the URL cache, whatever the transfer answers.
  package.cacheEntryPending = true;
  package.localPath = localPath;
  return DownloadToHeldFile(package.canonicalUrl.c_str(), dialog, localPath, package.local,
                            package.cacheFilePath);
}

DWORD ResolvePackageFromUrl(const wchar_t* baseUrl, const wchar_t* packageName,
                            const wchar_t* exePath, HANDLE exeFile, RunningImageTrust& image,
                            PackageSigner signer, const std::wstring& workFolder,
                            ProgressDialog& dialog, const MessageContext& messages,
                            DownloadedPackage& package) {
  try {
    return Download(baseUrl, packageName, exePath, exeFile, image, signer, workFolder, dialog,
                    messages, package);
  } catch (const std::bad_alloc&) {
    ShowOutOfMemoryMessage(messages);
    return ERROR_OUTOFMEMORY;
  }
}

DownloadedPackage::~DownloadedPackage() { RemoveDownloadedCopy(*this); }

void RemoveDownloadedCopy(DownloadedPackage& package) {
  // The hold goes first: it keeps the copy from being deleted.
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

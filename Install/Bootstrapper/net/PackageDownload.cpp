#include "net/PackageDownload.h"

// Placeholder until the download exists: the package cannot be fetched.
DWORD ResolvePackageFromUrl(const wchar_t*, const wchar_t*, const wchar_t*, ProgressDialog&,
                            const MessageContext&, DownloadedPackage&) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void RemoveDownloadedCopy(DownloadedPackage& package) {
  package = DownloadedPackage{};
}

bool ComposeDownloadUrl(const wchar_t*, const wchar_t*, std::wstring& url) {
  url.clear();
  return false;
}

DWORD CanonicalizeDownloadUrl(const std::wstring&, std::wstring& canonicalUrl) {
  canonicalUrl.clear();
  return ERROR_CALL_NOT_IMPLEMENTED;
}

HRESULT DownloadToCache(const wchar_t*, ProgressDialog&, std::wstring& cacheFilePath) {
  cacheFilePath.clear();
  return E_NOTIMPL;
}

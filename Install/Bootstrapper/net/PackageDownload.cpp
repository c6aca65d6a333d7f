#include "net/PackageDownload.h"

// Placeholder until the download exists: the package cannot be fetched.
DWORD ResolvePackageFromUrl(const wchar_t*, const wchar_t*, const wchar_t*, ProgressDialog&,
                            const MessageContext&, DownloadedPackage&) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void RemoveDownloadedCopy(DownloadedPackage& package) {
  package = DownloadedPackage{};
}

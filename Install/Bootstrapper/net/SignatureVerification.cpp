#include "net/SignatureVerification.h"

// Placeholders until signature verification exists: every file counts as trusted.
TrustResult CheckTrust(const wchar_t*, PCCERT_CONTEXT* signerCertificate, bool* isSigned) {
  if (signerCertificate != nullptr) {
    *signerCertificate = nullptr;
  }
  if (isSigned != nullptr) {
    *isSigned = true;
  }
  return kTrustTrusted;
}

TrustResult VerifyPackageTrust(const wchar_t*, const wchar_t*) {
  return kTrustTrusted;
}

HRESULT VerifyFileSignature(const wchar_t*) {
  return S_OK;
}

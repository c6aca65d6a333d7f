// Authenticode checks through WinTrust: the executable's own signature at start, and a package
// downloaded from the base URL before it is installed. WinTrust and the CryptoAPI certificate
// functions are bound at run time; without them the answer is "cannot verify".
#pragma once

#include "sys/Win32.h"

#include <wincrypt.h>

enum TrustResult : int {
  kTrustCannotVerify = 0,
  kTrustTrusted = 1,
  kTrustNotTrusted = 2,
};

// One WinVerifyTrust verification of `filePath`. When `signerCertificate` is given it receives a
// duplicate of the signing certificate (or null), to be freed by the caller; when `isSigned` is
// given it tells whether the file carries a signature at all.
TrustResult CheckTrust(const wchar_t* filePath, PCCERT_CONTEXT* signerCertificate, bool* isSigned);

// The three logged steps: the bootstrapper's signature and signer, the package's, and the final
// verification of the package, whose result is returned.
TrustResult VerifyPackageTrust(const wchar_t* bootstrapperPath, const wchar_t* packagePath);

// S_OK when `filePath` is trusted, TRUST_E_PROVIDER_UNKNOWN when signatures cannot be verified on
// this system, TRUST_E_SUBJECT_NOT_TRUSTED otherwise.
HRESULT VerifyFileSignature(const wchar_t* filePath);

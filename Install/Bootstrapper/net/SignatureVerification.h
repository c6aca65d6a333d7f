// Authenticode checks through WinTrust: the executable's own signature at start, and a package
// downloaded from the base URL before it is installed. WinTrust and the CryptoAPI certificate
// functions are bound at run time; without them the answer is "cannot verify".
#pragma once

#include <string>

#include "sys/RunTimeBinding.h"
#include "sys/Win32.h"
// clang-format off
// After <windows.h>, which it needs.
#include <wincrypt.h>
// clang-format on

enum TrustResult : int {
  kTrustCannotVerify = 0,
  kTrustTrusted = 1,
  kTrustNotTrusted = 2,
};

// What the first verification of the running executable found, kept for the rest of the run.
// Windows does not let the file of a mapped image be written, so a later verification of that
// file can only repeat the first answer, at the cost of hashing the whole file, payloads included,
// once more. The run owns one of these for its own executable; later checks that name the same
// path are answered from it, with the same log lines.
class RunningImageTrust {
 public:
  RunningImageTrust() = default;
  ~RunningImageTrust() { Release(); }
  RunningImageTrust(const RunningImageTrust&) = delete;
  RunningImageTrust& operator=(const RunningImageTrust&) = delete;

  // From now on verifications of `imagePath` are remembered and answered from memory.
  void Track(const std::wstring& imagePath);
  // Whether `filePath` names the tracked image.
  bool Names(const wchar_t* filePath) const;
  bool known() const { return known_; }
  // Frees the kept certificate and what it needs; nothing is answered from memory afterwards.
  void Release();

 private:
  friend TrustResult CheckTrust(const wchar_t*, PCCERT_CONTEXT*, bool*, RunningImageTrust*);
  void Remember(LONG result, bool isSigned, PCCERT_CONTEXT signerCertificate);
  PCCERT_CONTEXT DuplicateCertificate() const;

  std::wstring path_;
  bool known_ = false;
  LONG result_ = 0;
  bool isSigned_ = false;
  // The certificate's functions live in crypt32, which stays loaded while the copy is kept.
  ModuleHandle crypt32_;
  decltype(&::CertDuplicateCertificateContext) duplicate_ = nullptr;
  decltype(&::CertFreeCertificateContext) free_ = nullptr;
  PCCERT_CONTEXT certificate_ = nullptr;
};

// One WinVerifyTrust verification of `filePath`. When `signerCertificate` is given it receives a
// duplicate of the signing certificate (or null), to be freed by the caller; when `isSigned` is
// given it tells whether the file carries a signature at all. With `image`, a file it names is
// verified at most once: the first verification that asks for the certificate is remembered and
// later ones are answered from it.
TrustResult CheckTrust(const wchar_t* filePath, PCCERT_CONTEXT* signerCertificate, bool* isSigned,
                       RunningImageTrust* image = nullptr);

// The three logged steps: the bootstrapper's signature and signer, the package's, and the final
// verification of the package, whose result is returned.
TrustResult VerifyPackageTrust(const wchar_t* bootstrapperPath, const wchar_t* packagePath,
                               RunningImageTrust* image = nullptr);

// S_OK when `filePath` is trusted, TRUST_E_PROVIDER_UNKNOWN when signatures cannot be verified on
// this system, TRUST_E_SUBJECT_NOT_TRUSTED otherwise.
HRESULT VerifyFileSignature(const wchar_t* filePath, RunningImageTrust* image = nullptr);

// Authenticode checks through WinTrust: the executable's own signature at start, and a package
// downloaded from the base URL before it is installed. WinTrust and the CryptoAPI certificate
// functions are bound at run time; without them the answer is "cannot verify".
#pragma once

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
// Windows does not let the file of a mapped image be written, and the run holds it against
// renaming, so a later verification of that file can only repeat the first answer, at the cost of
// hashing the whole file, payloads included, once more. The run owns one of these for its own
// executable; later checks of the same file (the same volume and file index, whatever path names
// it) are answered from it, with the same log lines.
class RunningImageTrust {
 public:
  RunningImageTrust() = default;
  ~RunningImageTrust() { Release(); }
  RunningImageTrust(const RunningImageTrust&) = delete;
  RunningImageTrust& operator=(const RunningImageTrust&) = delete;

  // From now on verifications of the file open as `image` (held by the caller) are remembered
  // and answered from memory. Without a handle, or when the file cannot be identified, nothing is
  // remembered.
  void Track(HANDLE image);
  // Whether `file` is the tracked image.
  bool IsImage(HANDLE file) const;
  bool known() const { return known_; }
  // Frees the kept certificate and what it needs; nothing is answered from memory afterwards.
  void Release();

 private:
  friend TrustResult CheckTrust(const wchar_t*, HANDLE, PCCERT_CONTEXT*, bool*, RunningImageTrust*);
  void Remember(LONG result, bool isSigned, PCCERT_CONTEXT signerCertificate);
  PCCERT_CONTEXT DuplicateCertificate() const;

  // The image's identity: its volume's serial number and its index on that volume.
  bool tracked_ = false;
  DWORD volume_ = 0;
  DWORD indexHigh_ = 0;
  DWORD indexLow_ = 0;
  bool known_ = false;
  LONG result_ = 0;
  bool isSigned_ = false;
  // The certificate's functions live in crypt32, which stays loaded while the copy is kept.
  ModuleHandle crypt32_;
  decltype(&::CertDuplicateCertificateContext) duplicate_ = nullptr;
  decltype(&::CertFreeCertificateContext) free_ = nullptr;
  PCCERT_CONTEXT certificate_ = nullptr;
};

// One WinVerifyTrust verification of `filePath`. With `file`, a handle held by the caller, the
// bytes verified are read through it, so they are the held bytes whatever the path names by now;
// without one WinTrust opens the path itself. When `signerCertificate` is given it receives a
// duplicate of the signing certificate (or null), to be freed by the caller; when `isSigned` is
// given it tells whether the file carries a signature at all. With `image`, the running
// executable is verified at most once: the first verification of it that asks for the
// certificate is remembered and later ones are answered from it.
TrustResult CheckTrust(const wchar_t* filePath, HANDLE file, PCCERT_CONTEXT* signerCertificate,
                       bool* isSigned, RunningImageTrust* image = nullptr);

// Who may sign a package: any signer the system trusts, or only the bootstrapper's own
// certificate (the same issuer and serial number).
enum class PackageSigner { Any, Bootstrapper };

// The three logged steps: the bootstrapper's signature and signer, the package's, and the final
// verification of the package, whose result is returned; with PackageSigner::Bootstrapper a
// package that the system trusts but that another certificate signed is not trusted. Each file is
// read through its handle when one is given (see CheckTrust).
TrustResult VerifyPackageTrust(const wchar_t* bootstrapperPath, HANDLE bootstrapperFile,
                               const wchar_t* packagePath, HANDLE packageFile,
                               RunningImageTrust* image = nullptr,
                               PackageSigner signer = PackageSigner::Any);

// S_OK when `filePath` is trusted, TRUST_E_PROVIDER_UNKNOWN when signatures cannot be verified on
// this system, TRUST_E_SUBJECT_NOT_TRUSTED otherwise.
HRESULT VerifyFileSignature(const wchar_t* filePath, HANDLE file,
                            RunningImageTrust* image = nullptr);

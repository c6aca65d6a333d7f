#include "net/SignatureVerification.h"
// After the one include of <windows.h>, which they need.
#include <softpub.h>
#include <wintrust.h>

#include "sys/BootstrapLog.h"
#include "sys/RunTimeBinding.h"

namespace {

// The layouts WinVerifyTrust is given: the file record and the trust data without the
// signature-settings member, which older systems do not know.
static_assert(sizeof(WINTRUST_FILE_INFO) == 4 * sizeof(void*), "file record layout");
static_assert(sizeof(void*) != 4 || sizeof(WINTRUST_DATA) == 48, "trust data layout");

constexpr wchar_t kWinTrustLibrary[] = L"wintrust.dll";
constexpr wchar_t kCryptoLibrary[] = L"crypt32.dll";
constexpr DWORD kCertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct WinTrustFunctions {
  decltype(&::WinVerifyTrust) WinVerifyTrust = nullptr;
  decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData = nullptr;
  decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain = nullptr;
  decltype(&::WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain = nullptr;

  bool Bind(HMODULE module) {
    return BindProc(module, "WinVerifyTrust", WinVerifyTrust) &&
           BindProc(module, "WTHelperProvDataFromStateData", WTHelperProvDataFromStateData) &&
           BindProc(module, "WTHelperGetProvSignerFromChain", WTHelperGetProvSignerFromChain) &&
           BindProc(module, "WTHelperGetProvCertFromChain", WTHelperGetProvCertFromChain);
  }
};

// A copy of the signing certificate that the verification state held; null when none could be
// had (no state, no signer, or crypt32 without the function).
PCCERT_CONTEXT DuplicateSignerCertificate(const WinTrustFunctions& trust, HANDLE stateData) {
  CRYPT_PROVIDER_DATA* provider = trust.WTHelperProvDataFromStateData(stateData);
  CRYPT_PROVIDER_SGNR* signer =
      provider != nullptr ? trust.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* certificate =
      signer != nullptr ? trust.WTHelperGetProvCertFromChain(signer, 0) : nullptr;
  if (certificate == nullptr || certificate->pCert == nullptr) {
    return nullptr;
  }
  ModuleHandle crypt32(LoadSystemLibrary(kCryptoLibrary));
  decltype(&::CertDuplicateCertificateContext) duplicate = nullptr;
  if (!crypt32 || !BindProc(crypt32.get(), "CertDuplicateCertificateContext", duplicate)) {
    return nullptr;
  }
  // The copy holds its own reference inside crypt32, which the process keeps loaded for
  // wintrust; it outlives both this library handle and the verification state.
  return duplicate(certificate->pCert);
}

// A certificate obtained by CheckTrust, freed exactly once with the bound release function.
class OwnedCertificate {
 public:
  explicit OwnedCertificate(decltype(&::CertFreeCertificateContext) release) : release_(release) {}
  ~OwnedCertificate() {
    if (certificate_ != nullptr) {
      release_(certificate_);
    }
  }
  OwnedCertificate(const OwnedCertificate&) = delete;
  OwnedCertificate& operator=(const OwnedCertificate&) = delete;

  PCCERT_CONTEXT* receive() { return &certificate_; }
  PCCERT_CONTEXT get() const { return certificate_; }

 private:
  decltype(&::CertFreeCertificateContext) release_;
  PCCERT_CONTEXT certificate_ = nullptr;
};

const wchar_t* FlagText(bool value) { return value ? L"TRUE" : L"FALSE"; }

constexpr wchar_t kResultLine[] = L"[WVT] WVT returned 0x%X\n";

// A file's identity: the serial number of its volume and its index there, the same whatever path
// names the file. False when the system cannot say.
bool IdentifyFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& information) {
  return file != nullptr && file != INVALID_HANDLE_VALUE &&
         GetFileInformationByHandle(file, &information);
}

// What a WinVerifyTrust result means to the callers.
TrustResult AnswerFor(LONG result) {
  if (result == TRUST_E_PROVIDER_UNKNOWN) {
    return kTrustCannotVerify;
  }
  return result == ERROR_SUCCESS ? kTrustTrusted : kTrustNotTrusted;
}

}  // namespace

void RunningImageTrust::Track(HANDLE image) {
  Release();
  BY_HANDLE_FILE_INFORMATION information;
  if (IdentifyFile(image, information)) {
    volume_ = information.dwVolumeSerialNumber;
    indexHigh_ = information.nFileIndexHigh;
    indexLow_ = information.nFileIndexLow;
    tracked_ = true;
  }
}

bool RunningImageTrust::IsImage(HANDLE file) const {
  BY_HANDLE_FILE_INFORMATION information;
  return tracked_ && IdentifyFile(file, information) &&
         information.dwVolumeSerialNumber == volume_ && information.nFileIndexHigh == indexHigh_ &&
         information.nFileIndexLow == indexLow_;
}

void RunningImageTrust::Remember(LONG result, bool isSigned, PCCERT_CONTEXT signerCertificate) {
  if (signerCertificate != nullptr) {
    crypt32_.reset(LoadSystemLibrary(kCryptoLibrary));
    if (!crypt32_ || !BindProc(crypt32_.get(), "CertDuplicateCertificateContext", duplicate_) ||
        !BindProc(crypt32_.get(), "CertFreeCertificateContext", free_)) {
      // Without its certificate the answer would not be the same answer: nothing is kept, and
      // the next look at the file verifies it again.
      crypt32_.reset();
      return;
    }
    certificate_ = duplicate_(signerCertificate);
  }
  result_ = result;
  isSigned_ = isSigned;
  known_ = true;
}

PCCERT_CONTEXT RunningImageTrust::DuplicateCertificate() const {
  return certificate_ != nullptr ? duplicate_(certificate_) : nullptr;
}

void RunningImageTrust::Release() {
  if (certificate_ != nullptr) {
    free_(certificate_);
    certificate_ = nullptr;
  }
  crypt32_.reset();
  known_ = false;
  tracked_ = false;
}

TrustResult CheckTrust(const wchar_t* filePath, HANDLE file, PCCERT_CONTEXT* signerCertificate,
                       bool* isSigned, RunningImageTrust* image) {
  if (signerCertificate != nullptr) {
    *signerCertificate = nullptr;
  }
  if (isSigned != nullptr) {
    *isSigned = false;
  }
  const bool wantsCertificate = signerCertificate != nullptr;
  const bool isImage = image != nullptr && image->IsImage(file);

  if (isImage && image->known()) {
    // The same file gives the same answer: the line is the one the verification logged.
    LogNumber(kResultLine, static_cast<std::uint32_t>(image->result_));
    if (isSigned != nullptr) {
      *isSigned = image->isSigned_;
    }
    if (wantsCertificate) {
      *signerCertificate = image->DuplicateCertificate();
    }
    return AnswerFor(image->result_);
  }

  // The held handle, read from its start; WinTrust reads what it holds and uses the path only
  // to tell which kind of file it is.
  const bool held = file != nullptr && file != INVALID_HANDLE_VALUE;
  if (held) {
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  }
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(WINTRUST_FILE_INFO);
  fileInfo.pcwszFilePath = filePath;
  fileInfo.hFile = held ? file : nullptr;
  fileInfo.pgKnownSubject = nullptr;

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(WINTRUST_DATA);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  // The state is kept only when the signer certificate is to be read from it afterwards.
  data.dwStateAction = wantsCertificate ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  HWND const noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);

  ModuleHandle wintrust(LoadSystemLibrary(kWinTrustLibrary));
  WinTrustFunctions trust;
  if (!wintrust || !trust.Bind(wintrust.get())) {
    return kTrustCannotVerify;
  }

  const LONG result = trust.WinVerifyTrust(noWindow, &action, &data);
  LogNumber(kResultLine, static_cast<std::uint32_t>(result));

  // A signature that fails verification still makes the file a signed one.
  const bool fileIsSigned = result != TRUST_E_PROVIDER_UNKNOWN && result != TRUST_E_NOSIGNATURE;
  PCCERT_CONTEXT certificate = nullptr;
  if (wantsCertificate && fileIsSigned) {
    certificate = DuplicateSignerCertificate(trust, data.hWVTStateData);
  }
  // Releases whatever the verification kept; its own result tells nothing more.
  if (wantsCertificate || !fileIsSigned) {
    data.dwUIChoice = WTD_UI_NONE;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    trust.WinVerifyTrust(noWindow, &action, &data);
  }

  if (isSigned != nullptr) {
    *isSigned = fileIsSigned;
  }
  if (wantsCertificate) {
    *signerCertificate = certificate;
    if (isImage && !image->known()) {
      image->Remember(result, fileIsSigned, certificate);
    }
  }
  return AnswerFor(result);
}

TrustResult VerifyPackageTrust(const wchar_t* bootstrapperPath, HANDLE bootstrapperFile,
                               const wchar_t* packagePath, HANDLE packageFile,
                               RunningImageTrust* image, PackageSigner signer) {
  ModuleHandle crypt32(LoadSystemLibrary(kCryptoLibrary));
  decltype(&::CertCompareCertificate) compare = nullptr;
  decltype(&::CertFreeCertificateContext) release = nullptr;
  if (!crypt32 || !BindProc(crypt32.get(), "CertCompareCertificate", compare) ||
      !BindProc(crypt32.get(), "CertFreeCertificateContext", release)) {
    return kTrustCannotVerify;
  }
  // Declared after the library so that both are freed before it is released.
  OwnedCertificate setupCertificate(release);
  OwnedCertificate packageCertificate(release);

  LogString(L"[WVT] step 1: silently call WinVerifyTrust on szSetupExe, ignoring return value\n");
  bool setupIsSigned = false;
  if (CheckTrust(bootstrapperPath, bootstrapperFile, setupCertificate.receive(), &setupIsSigned,
                 image) == kTrustCannotVerify) {
    return kTrustCannotVerify;
  }
  LogString(L"[WVT] fSetupExeIsSigned = %s\n", FlagText(setupIsSigned));

  bool samePublisher = false;
  if (setupIsSigned) {
    LogString(L"[WVT] step2: silently call WinVerifyTrust on szPackage, ignoring return value\n");
    bool packageIsSigned = false;
    if (CheckTrust(packagePath, packageFile, packageCertificate.receive(), &packageIsSigned,
                   image) == kTrustCannotVerify) {
      return kTrustCannotVerify;
    }
    LogString(L"[WVT] fPackageIsSigned = %s\n", FlagText(packageIsSigned));
    // Same issuer and serial number: the package comes from the bootstrapper's own publisher.
    samePublisher = packageIsSigned && setupCertificate.get() != nullptr &&
                    packageCertificate.get() != nullptr &&
                    compare(kCertificateEncoding, setupCertificate.get()->pCertInfo,
                            packageCertificate.get()->pCertInfo);
  }
  // The comparison chooses the line: the last verification shows no UI either way. A trusted
  // package of another publisher is accepted unless the product asked for its own signer.
  LogString(
      samePublisher
          ? L"[WVT] step3: last call to WinVerifyTrust showing UI only if something is wrong\n"
          : L"[WVT] step3: last call to WinVerifyTrust using full UI\n");
  const TrustResult result = CheckTrust(packagePath, packageFile, nullptr, nullptr, image);
  if (result == kTrustTrusted && signer == PackageSigner::Bootstrapper && !samePublisher) {
    return kTrustNotTrusted;
  }
  return result;
}

HRESULT VerifyFileSignature(const wchar_t* filePath, HANDLE file, RunningImageTrust* image) {
  switch (VerifyPackageTrust(filePath, file, filePath, file, image)) {
    case kTrustTrusted:
      return S_OK;
    case kTrustCannotVerify:
      return TRUST_E_PROVIDER_UNKNOWN;
    default:
      return TRUST_E_SUBJECT_NOT_TRUSTED;
  }
}

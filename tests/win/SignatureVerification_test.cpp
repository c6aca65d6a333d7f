// Authenticode checks through the real WinTrust on real files: small programs and product
// packages that the build signed with its own publisher, with a publisher of another authority or
// of the same one, not at all, or changed after signing. Each case reads back the "[WVT]" lines it
// wrote to bootstrap.log.
#include "net/SignatureVerification.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "payload/HeldFile.h"
#include "support/TestSupport.h"
#include "sys/BootstrapLog.h"
#include "sys/Win32.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;

// A marker for a "[WVT] WVT returned" line whose code is a failure other than "no signature":
// what WinTrust answers for a broken signature differs between systems.
constexpr char kAnyFailure[] = "[WVT] WVT returned <failure>";
// A marker for either step-3 line: whether the signer of a file whose signature no longer matches
// can still be read differs between systems (Wine gives none), and with it the comparison.
constexpr char kEitherStep3[] = "[WVT] step3: <either>";

const char kStep1[] =
    "[WVT] step 1: silently call WinVerifyTrust on szSetupExe, ignoring return value";
const char kStep2[] =
    "[WVT] step2: silently call WinVerifyTrust on szPackage, ignoring return value";
const char kStep3FullUi[] = "[WVT] step3: last call to WinVerifyTrust using full UI";
const char kStep3Quiet[] =
    "[WVT] step3: last call to WinVerifyTrust showing UI only if something is wrong";
const char kTrusted[] = "[WVT] WVT returned 0x0";
const char kNoSignature[] = "[WVT] WVT returned 0x800B0100";
// The whole log of a check whose bootstrapper and package have the same signer; of one whose
// bootstrapper is signed and package not; of one whose bootstrapper is not signed.
const std::vector<std::string> kSameSigner = {
    kStep1,      kTrusted, "[WVT] fSetupExeIsSigned = TRUE",
    kStep2,      kTrusted, "[WVT] fPackageIsSigned = TRUE",
    kStep3Quiet, kTrusted};
const std::vector<std::string> kUnsignedPackage = {
    kStep1,       kTrusted,     "[WVT] fSetupExeIsSigned = TRUE",
    kStep2,       kNoSignature, "[WVT] fPackageIsSigned = FALSE",
    kStep3FullUi, kNoSignature};
const std::vector<std::string> kUnsignedBootstrapper = {
    kStep1, kNoSignature, "[WVT] fSetupExeIsSigned = FALSE", kStep3FullUi, kNoSignature};

std::wstring TrustFile(const std::wstring& name) {
  return testing_support::WindowsBuildFolder() + L"tests\\windows\\trust\\" + name;
}

class SignatureVerification : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The log goes to a folder of its own, fixed by the first line the process writes.
    temp_ = std::make_unique<ScratchFolder>();
    SetEnvironmentVariableW(L"TMP", temp_->path().c_str());
    SetEnvironmentVariableW(L"TEMP", temp_->path().c_str());
    LogString(L"[Info] signature verification tests\n");
  }
  static void TearDownTestSuite() { temp_.reset(); }

  void SetUp() override { logStart_ = ReadFileBytes(BootstrapLogPath()).size(); }

  // The lines written since the test began, without their line ends.
  std::vector<std::string> NewLogLines() const {
    const std::string text = ReadFileBytes(BootstrapLogPath()).substr(logStart_);
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
  }

  void ExpectLogLines(const std::vector<std::string>& expected) const {
    const std::vector<std::string> lines = NewLogLines();
    ASSERT_EQ(lines.size(), expected.size()) << testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (expected[i] == kEitherStep3) {
        EXPECT_TRUE(lines[i] == kStep3FullUi || lines[i] == kStep3Quiet) << lines[i];
      } else if (expected[i] == kAnyFailure) {
        const std::string prefix = "[WVT] WVT returned 0x";
        EXPECT_EQ(lines[i].substr(0, prefix.size()), prefix);
        EXPECT_NE(lines[i], prefix + "0");
        EXPECT_NE(lines[i], prefix + "800B0100");
      } else {
        EXPECT_EQ(lines[i], expected[i]) << "line " << i;
      }
    }
  }

 private:
  static std::unique_ptr<ScratchFolder> temp_;
  std::size_t logStart_ = 0;
};

std::unique_ptr<ScratchFolder> SignatureVerification::temp_;

TEST_F(SignatureVerification, EachStepOfAPackageCheckIsLogged) {
  struct Case {
    const char* name;
    const wchar_t* bootstrapper;
    const wchar_t* package;
    TrustResult result;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"unsigned bootstrapper skips the package steps",
       L"unsigned.exe",
       L"signed\\CorvellVesk5.msi",
       kTrustTrusted,
       {kStep1, kNoSignature, "[WVT] fSetupExeIsSigned = FALSE", kStep3FullUi, kTrusted}},
      {"package of the same publisher", L"signed.exe", L"signed\\CorvellVesk5.msi", kTrustTrusted,
       kSameSigner},
      {"trusted package of another publisher is accepted",
       L"signed.exe",
       L"other-publisher\\CorvellVesk5.msi",
       kTrustTrusted,
       {kStep1, kTrusted, "[WVT] fSetupExeIsSigned = TRUE", kStep2, kTrusted,
        "[WVT] fPackageIsSigned = TRUE", kStep3FullUi, kTrusted}},
      {"unsigned package is not trusted", L"signed.exe", L"unsigned\\CorvellVesk5.msi",
       kTrustNotTrusted, kUnsignedPackage},
      // It still counts as signed; only the verification fails.
      {"package changed after signing is signed but not trusted",
       L"signed.exe",
       L"tampered.exe",
       kTrustNotTrusted,
       {kStep1, kTrusted, "[WVT] fSetupExeIsSigned = TRUE", kStep2, kAnyFailure,
        "[WVT] fPackageIsSigned = TRUE", kEitherStep3, kAnyFailure}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    EXPECT_EQ(VerifyPackageTrust(TrustFile(c.bootstrapper).c_str(), nullptr,
                                 TrustFile(c.package).c_str(), nullptr),
              c.result);
    ExpectLogLines(c.lines);
  }
}

TEST_F(SignatureVerification, WithTheBootstrappersOwnSignerRequiredAnyOtherIsNotTrusted) {
  // The log is the same as without the requirement: the step-3 line already tells the signers
  // apart, and the last verification is made either way.
  struct Case {
    const wchar_t* bootstrapper;
    const wchar_t* package;
    TrustResult result;
    const char* step3;
  };
  const Case cases[] = {
      {L"signed.exe", L"signed\\CorvellVesk5.msi", kTrustTrusted, kStep3Quiet},
      {L"signed.exe", L"same-authority\\CorvellVesk5.msi", kTrustNotTrusted, kStep3FullUi},
      {L"signed.exe", L"other-publisher\\CorvellVesk5.msi", kTrustNotTrusted, kStep3FullUi},
      {L"unsigned.exe", L"signed\\CorvellVesk5.msi", kTrustNotTrusted, kStep3FullUi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::wstring(c.bootstrapper) << ", " << c.package);
    SetUp();
    EXPECT_EQ(
        VerifyPackageTrust(TrustFile(c.bootstrapper).c_str(), nullptr, TrustFile(c.package).c_str(),
                           nullptr, nullptr, PackageSigner::Bootstrapper),
        c.result);
    const std::vector<std::string> lines = NewLogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], c.step3);
    EXPECT_EQ(lines.back(), kTrusted);
  }
  // Without the requirement the same authority's second publisher passes.
  SetUp();
  EXPECT_EQ(VerifyPackageTrust(TrustFile(L"signed.exe").c_str(), nullptr,
                               TrustFile(L"same-authority\\CorvellVesk5.msi").c_str(), nullptr),
            kTrustTrusted);
}

TEST_F(SignatureVerification, OwnSignatureComparesTheCertificateWithItself) {
  struct Case {
    const wchar_t* file;
    HRESULT result;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {L"signed.exe", S_OK, kSameSigner},
      {L"unsigned.exe", TRUST_E_SUBJECT_NOT_TRUSTED, kUnsignedBootstrapper},
      {L"tampered.exe",
       TRUST_E_SUBJECT_NOT_TRUSTED,
       {kStep1, kAnyFailure, "[WVT] fSetupExeIsSigned = TRUE", kStep2, kAnyFailure,
        "[WVT] fPackageIsSigned = TRUE", kEitherStep3, kAnyFailure}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "file: " << std::wstring(c.file));
    SetUp();
    // Read through a held handle, or opened by WinTrust from the path: the same answer.
    HeldFile held;
    ASSERT_EQ(held.Take(TrustFile(c.file).c_str()), 0u);
    EXPECT_EQ(VerifyFileSignature(TrustFile(c.file).c_str(), held.handle()), c.result);
    ExpectLogLines(c.lines);
    SetUp();
    EXPECT_EQ(VerifyFileSignature(TrustFile(c.file).c_str(), nullptr), c.result);
    ExpectLogLines(c.lines);
  }
}

// The run's own executable is verified once: later looks at the same file (the same volume and
// file index, through a held handle) are answered from that verification, line for line, and no
// other file is, not even one at the image's own path. The image's bytes are changed in place
// after the first verification (which Windows forbids for a running image) so that an answer
// that was not taken from memory would show.
TEST_F(SignatureVerification, RunningImageIsVerifiedOnce) {
  const ScratchFolder folder;
  const std::wstring image = folder.path() + L"Image.exe";
  const std::string signedBytes = ReadFileBytes(TrustFile(L"signed.exe"));
  const std::string unsignedBytes = ReadFileBytes(TrustFile(L"unsigned.exe"));
  testing_support::WriteFileBytes(image, signedBytes);
  HeldFile held;
  ASSERT_EQ(held.Take(image.c_str()), 0u);
  RunningImageTrust memory;
  memory.Track(held.handle());

  EXPECT_EQ(VerifyFileSignature(image.c_str(), held.handle(), &memory), S_OK);
  ExpectLogLines(kSameSigner);
  ASSERT_TRUE(memory.known());

  // The package is another file: verified for real, and its answer is its own.
  SetUp();
  HeldFile package;
  ASSERT_EQ(package.Take(TrustFile(L"unsigned.exe").c_str()), 0u);
  EXPECT_EQ(VerifyPackageTrust(image.c_str(), held.handle(), TrustFile(L"unsigned.exe").c_str(),
                               package.handle(), &memory),
            kTrustNotTrusted);
  ExpectLogLines(kUnsignedPackage);

  // The same file, its bytes changed in place and opened anew: still the image.
  held.Release();
  testing_support::WriteFileBytes(image, unsignedBytes);
  ASSERT_EQ(held.Take(image.c_str()), 0u);
  SetUp();
  EXPECT_EQ(VerifyFileSignature(image.c_str(), held.handle(), &memory), S_OK);
  ExpectLogLines(kSameSigner);

  // Another file put at the image's path is not the image, and neither is a look without a
  // handle: both are verified for real.
  held.Release();
  const std::wstring other = folder.path() + L"Other.exe";
  testing_support::WriteFileBytes(other, unsignedBytes);
  ASSERT_TRUE(MoveFileExW(other.c_str(), image.c_str(), MOVEFILE_REPLACE_EXISTING));
  HeldFile impostor;
  ASSERT_EQ(impostor.Take(image.c_str()), 0u);
  SetUp();
  EXPECT_EQ(VerifyFileSignature(image.c_str(), impostor.handle(), &memory),
            TRUST_E_SUBJECT_NOT_TRUSTED);
  ExpectLogLines(kUnsignedBootstrapper);
  SetUp();
  EXPECT_EQ(VerifyFileSignature(image.c_str(), nullptr, &memory), TRUST_E_SUBJECT_NOT_TRUSTED);
  ExpectLogLines(kUnsignedBootstrapper);
}

// Given a handle, WinTrust reads the bytes through it, whatever the path names by then: here the
// signed file was renamed away under its open handle and an unsigned one put at its path.
TEST_F(SignatureVerification, TheBytesVerifiedAreTheHandlesNotThePaths) {
  const ScratchFolder folder;
  const std::wstring path = folder.path() + L"Package.exe";
  testing_support::WriteFileBytes(path, ReadFileBytes(TrustFile(L"signed.exe")));
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(MoveFileExW(path.c_str(), (folder.path() + L"Away.exe").c_str(), 0));
  testing_support::WriteFileBytes(path, ReadFileBytes(TrustFile(L"unsigned.exe")));
  EXPECT_EQ(CheckTrust(path.c_str(), file, nullptr, nullptr), kTrustTrusted);
  EXPECT_EQ(CheckTrust(path.c_str(), nullptr, nullptr, nullptr), kTrustNotTrusted);
  CloseHandle(file);
}

// The common name of a certificate's subject.
std::wstring SubjectName(PCCERT_CONTEXT certificate) {
  wchar_t name[256] = {};
  CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
  return name;
}

TEST_F(SignatureVerification, CheckTrustHandsOutTheSigningCertificate) {
  struct Case {
    const wchar_t* file;
    TrustResult result;
    bool isSigned;
    const wchar_t* signer;  // null: no certificate; kMaybe: this signer or none
  };
  const wchar_t* const kMaybe = L"Bootstrapper Test Publisher (if readable)";
  const Case cases[] = {
      {L"signed.exe", kTrustTrusted, true, L"Bootstrapper Test Publisher"},
      {L"other-publisher.exe", kTrustTrusted, true, L"Bootstrapper Other Publisher"},
      {L"signed\\CorvellVesk5.msi", kTrustTrusted, true, L"Bootstrapper Test Publisher"},
      {L"tampered.exe", kTrustNotTrusted, true, kMaybe},
      {L"unsigned.exe", kTrustNotTrusted, false, nullptr},
      {L"missing.exe", kTrustNotTrusted, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "file: " << std::wstring(c.file));
    PCCERT_CONTEXT certificate = reinterpret_cast<PCCERT_CONTEXT>(1);
    bool isSigned = !c.isSigned;
    EXPECT_EQ(CheckTrust(TrustFile(c.file).c_str(), nullptr, &certificate, &isSigned), c.result);
    EXPECT_EQ(isSigned, c.isSigned);
    if (c.signer == nullptr) {
      EXPECT_EQ(certificate, nullptr);
    } else if (c.signer == kMaybe) {
      if (certificate != nullptr) {
        EXPECT_EQ(SubjectName(certificate), L"Bootstrapper Test Publisher");
        CertFreeCertificateContext(certificate);
      }
    } else {
      ASSERT_NE(certificate, nullptr);
      EXPECT_EQ(SubjectName(certificate), c.signer);
      CertFreeCertificateContext(certificate);
    }
    // Without the outputs nothing is kept, and the answer is the same.
    EXPECT_EQ(CheckTrust(TrustFile(c.file).c_str(), nullptr, nullptr, nullptr), c.result);
  }
}

}  // namespace

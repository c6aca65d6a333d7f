// The package taken from the executable itself (no BASEURL): the unit-test product's payloads
// written to the run's own working folder, a distributor's files beside the "executable" copied
// over them, and the exit codes of an unusable temporary folder. The executable's path is a path in
// a scratch media folder, so the replacement files live there; the payloads come from this
// program's own resources.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "driver/RunSequence.h"
#include "driver/RunState.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;
using testing_support::Exists;
using testing_support::IsFolder;
using testing_support::LogTail;
using testing_support::MessageBoxRecorder;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::Row;
using testing_support::ScratchFolder;
using testing_support::WithInsert;
using testing_support::WriteFileBytes;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

class MediaPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    media_ = root_ / L"media\\";
    temp_ = root_ / L"temp\\";
    CreateDirectoryW(media_.c_str(), nullptr);
    CreateDirectoryW(temp_.c_str(), nullptr);
    UseTemp(temp_);
    state_.instance = GetModuleHandleW(nullptr);
    state_.appTitle = L"Unit Title";
    state_.exePath = media_ + L"setup.exe";
    UseDatabase(L"UnitProduct.msi");
    state_.iniFileName = L"UnitProduct.ini";
  }
  void TearDown() override { UseTemp(testing_support::ScratchTempEnvironment::path()); }

  static void UseTemp(const std::wstring& folder) {
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
  }
  void UseDatabase(const std::wstring& name) {
    state_.databaseName.reset(new wchar_t[name.size() + 1]);
    lstrcpyW(state_.databaseName.get(), name.c_str());
  }

  ScratchFolder root_;
  std::wstring media_;
  std::wstring temp_;
  RunState state_;
};

TEST_F(MediaPackage, WritesPackageReadmeAndSupportDocumentToTheWorkFolder) {
  MessageBoxRecorder boxes;
  LogTail log;
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND), 0u);

  const std::wstring work = state_.workFolder.path();
  ASSERT_TRUE(state_.workFolder.created());
  EXPECT_EQ(state_.mediaFolder, media_);
  EXPECT_EQ(state_.tempFolder, temp_) << "the logs' folder";
  EXPECT_EQ(state_.packagePath, work + L"UnitProduct.msi");
  EXPECT_EQ(state_.oemFolder, work + L"OEM\\");
  EXPECT_EQ(state_.oemSourceFolder, media_ + L"OEM\\");
  EXPECT_EQ(ReadFileBytes(work + L"UnitProduct.msi"), "unit package payload\n");
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\readme.txt").size(), 12u);
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\technicalsupport.rtf").size(), 21u);
  EXPECT_FALSE(Exists(work + L"UnitProduct.ini")) << "no ini file beside the executable";
  EXPECT_FALSE(Exists(temp_ + L"UnitProduct.msi"));
  EXPECT_THAT(boxes.boxes(), IsEmpty());
  const std::string temp = Narrow(work);
  EXPECT_THAT(log.lines(),
              ElementsAre("[Info] No BASEURL, generating media source.",
                          "[Info] path to Msi: " + temp + "UnitProduct.msi",
                          "[ExtractFileFromResource] Creating file: " + temp + "UnitProduct.msi",
                          "[Info] path to OEM: " + temp + "OEM\\",
                          "[ExtractFileFromResource] Creating file: " + temp + "OEM\\readme.txt",
                          "[ExtractFileFromResource] Creating file: " + temp +
                              "OEM\\technicalsupport.rtf"));
}

TEST_F(MediaPackage, TheDistributorsFilesBesideTheExecutableReplaceTheExtractedOnes) {
  CreateDirectoryW((media_ + L"OEM").c_str(), nullptr);
  WriteFileBytes(media_ + L"OEM\\readme.txt", "distributor readme");
  WriteFileBytes(media_ + L"OEM\\technicalsupport.rtf", "{\\rtf1 distributor}");
  WriteFileBytes(media_ + L"UnitProduct.ini", "[Installation Properties]\r\n");
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND), 0u);
  const std::wstring work = state_.workFolder.path();
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\readme.txt"), "distributor readme");
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\technicalsupport.rtf"), "{\\rtf1 distributor}");
  EXPECT_EQ(ReadFileBytes(work + L"UnitProduct.ini"), "[Installation Properties]\r\n");
  EXPECT_EQ(ReadFileBytes(work + L"UnitProduct.msi"), "unit package payload\n");
}

TEST_F(MediaPackage, AReplacementThatIsMissingLeavesTheExtractedFile) {
  CreateDirectoryW((media_ + L"OEM").c_str(), nullptr);
  WriteFileBytes(media_ + L"OEM\\technicalsupport.rtf", "{\\rtf1 distributor}");
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND), 0u);
  const std::wstring work = state_.workFolder.path();
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\readme.txt").size(), 12u);
  EXPECT_EQ(ReadFileBytes(work + L"OEM\\technicalsupport.rtf"), "{\\rtf1 distributor}");
}

TEST_F(MediaPackage, AMissingTemporaryFolderIsCreated) {
  const std::wstring deep = root_ / L"not\\yet\\there\\";
  UseTemp(deep);
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND), 0u);
  EXPECT_EQ(state_.tempFolder, deep);
  EXPECT_TRUE(IsFolder(deep));
}

TEST_F(MediaPackage, AnUnusableTemporaryFolderEndsWithTheBaseUrlLookupCode) {
  WriteFileBytes(root_ / L"file", "a file, not a folder");
  const std::wstring blocked = root_ / L"file\\temp\\";
  UseTemp(blocked);
  MessageBoxRecorder boxes;
  for (const DWORD lookup : {static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND),
                             static_cast<DWORD>(ERROR_FUNCTION_FAILED)}) {
    EXPECT_EQ(ResolvePackageFromMedia(state_, lookup), lookup);
  }
  EXPECT_THAT(boxes.texts(), ElementsAre(WithInsert(IDS_INVALID_PATH, blocked),
                                         WithInsert(IDS_INVALID_PATH, blocked)));
  EXPECT_FALSE(Exists(media_ + L"UnitProduct.msi"));
}

TEST_F(MediaPackage, WithoutATemporaryFolderAFolderOfTheRunsOwnBesideTheExecutableIsUsed) {
  // A temporary folder too long for a path buffer cannot be had. The run then keeps its
  // installer log in a folder of its own beside the executable, not among a distributor's files;
  // the package goes to the work folder as always.
  UseTemp(root_ / std::wstring(MAX_PATH, L't') + L"\\");
  WriteFileBytes(media_ + L"UnitProduct.msi", "the distributor's own copy");
  LogTail log;
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND), 0u);
  const std::wstring own = media_ + L"SetupTemp\\";
  EXPECT_EQ(state_.tempFolder, own);
  EXPECT_TRUE(state_.tempFolderIsFallback);
  EXPECT_TRUE(IsFolder(own));
  EXPECT_EQ(ReadFileBytes(state_.workFolder.path() + L"UnitProduct.msi"), "unit package payload\n");
  EXPECT_EQ(ReadFileBytes(media_ + L"UnitProduct.msi"), "the distributor's own copy");
  ASSERT_GE(log.lines().size(), 2u);
  EXPECT_THAT(log.lines()[1], StartsWith("[Info] unable to acquire temp folder "));
}

TEST_F(MediaPackage, APackagePathTooLongToWriteEndsWith2AfterThePathMessage) {
  // Every work folder's path has the same length.
  WorkFolder probe;
  ASSERT_EQ(probe.Create(), 0u);
  const std::wstring name = std::wstring(MAX_PATH - probe.path().size(), L'p');
  probe.Remove();
  UseDatabase(name);
  MessageBoxRecorder boxes;
  EXPECT_EQ(ResolvePackageFromMedia(state_, ERROR_RESOURCE_NAME_NOT_FOUND),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::wstring work = state_.workFolder.path();
  EXPECT_THAT(boxes.texts(), ElementsAre(WithInsert(IDS_INVALID_PATH, work + name)));
  EXPECT_FALSE(Exists(work + L"OEM"));
}

}  // namespace

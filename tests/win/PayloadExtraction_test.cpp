// Payloads written from this program's own resources (the unit-test product: 1004, 1005 and 1007
// are small known files, 1008 a file of three pieces that all differ; 90 and 1001 to 1003 are
// absent) to real files, with the message boxes read as they open. The volume's free space goes
// through the payload seam where a case needs a count that no real volume can be made to have.
#include "payload/PayloadExtraction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "../harness/FileAttack.h"
#include "payload/FileUtilities.h"
#include "payload/HeldFile.h"
#include "payload/SystemCalls.h"
#include "res/ResourceIds.h"
#include "support/MessageBoxRecorder.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;
using testing_support::BoxIcon;
using testing_support::Exists;
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

constexpr wchar_t kCaption[] = L"Unit Caption";
const std::string kPackageBytes = "unit package payload\n";

HINSTANCE Self() { return GetModuleHandleW(nullptr); }

// Payload 1008 as this program carries it.
std::string LargePayload() {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDP_SETTINGS_TEMPLATE), L"EXE");
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
  return std::string(bytes, SizeofResource(nullptr, found));
}

// An offset in the second of the pieces in which files are written and confirmed.
constexpr std::size_t kSecondPiece = 300 * 1024;

bool Extract(WORD id, const wchar_t* name, const std::wstring& folderOrPath,
             HeldFile* hold = nullptr) {
  return ExtractFileFromResource(id, Self(), kCaption, name, folderOrPath.c_str(), hold);
}

TEST(ExtractFileFromResource, FolderWithOrWithoutBackslashAndFullPathWriteTheSameFile) {
  ScratchFolder root;
  const std::wstring folder = root / L"dest";
  const std::wstring target = folder + L"\\package.msi";
  struct Case {
    const wchar_t* name;
    std::wstring folderOrPath;
  };
  const Case cases[] = {
      {L"package.msi", folder},
      {L"package.msi", folder + L"\\"},
      {nullptr, target},
      {L"", target},
  };
  for (const Case& c : cases) {
    MessageBoxRecorder boxes;
    LogTail log;
    DeleteFileW(target.c_str());
    EXPECT_TRUE(Extract(IDP_PRODUCT_PACKAGE, c.name, c.folderOrPath));
    EXPECT_EQ(ReadFileBytes(target), kPackageBytes);
    EXPECT_THAT(log.lines(),
                ElementsAre("[ExtractFileFromResource] Creating file: " + Narrow(target)));
    EXPECT_THAT(boxes.boxes(), IsEmpty());
  }
}

// While it lives, payloads are read from `file` (by default this program's own), as in a run.
class PayloadsFromFile {
 public:
  explicit PayloadsFromFile(const std::wstring& file = OwnPath())
      : handle_(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
    ReadPayloadsFrom(handle_);
  }
  ~PayloadsFromFile() {
    ReadPayloadsFrom(nullptr);
    CloseHandle(handle_);
  }
  PayloadsFromFile(const PayloadsFromFile&) = delete;
  PayloadsFromFile& operator=(const PayloadsFromFile&) = delete;

  static std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
  }

 private:
  HANDLE handle_;
};

TEST(ExtractFileFromResource, APayloadIsReadFromItsPlaceInTheExecutableFileWhenOneIsGiven) {
  // A copy of this program whose package payload reads otherwise: what is written, and what the
  // hold is confirmed against, is what the file holds at the payload's place.
  ScratchFolder root;
  std::string image = ReadFileBytes(PayloadsFromFile::OwnPath());
  const std::string changed = "UNIT PACKAGE PAYLOAD\n";
  for (auto at = image.find(kPackageBytes); at != std::string::npos;
       at = image.find(kPackageBytes, at)) {
    image.replace(at, changed.size(), changed);
  }
  WriteFileBytes(root / L"copy.exe", image);
  for (const bool fromCopy : {false, true}) {
    std::optional<PayloadsFromFile> source;
    if (fromCopy) {
      source.emplace(root / L"copy.exe");
    }
    HeldFile hold;
    EXPECT_TRUE(Extract(IDP_PRODUCT_PACKAGE, L"package.msi", root.path(), &hold));
    EXPECT_TRUE(hold.IsHeld());
    hold.Release();
    EXPECT_EQ(ReadFileBytes(root / L"package.msi"), fromCopy ? changed : kPackageBytes);
  }
}

TEST(ConfirmRunningImage, OnlyTheFileOfTheRunningProgramPasses) {
  // Copies of this program that differ from it in a header (the time stamp), in a payload, or
  // that end after the headers: each could stand at the program's path once it was renamed away.
  ScratchFolder root;
  const std::string own = ReadFileBytes(PayloadsFromFile::OwnPath());
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(own.data());
  std::string stamped = own;
  stamped[dos->e_lfanew + offsetof(IMAGE_NT_HEADERS, FileHeader.TimeDateStamp)] ^= 1;
  // (The first place of the payload's text is this program's own literal, not the payload.)
  std::string payload = own;
  for (auto at = payload.find(kPackageBytes); at != std::string::npos;
       at = payload.find(kPackageBytes, at)) {
    payload.replace(at, 4, "UNIT");
  }
  const std::string cut = own.substr(0, own.find(kPackageBytes));
  const std::tuple<const wchar_t*, std::string, DWORD> rows[] = {
      {L"own.exe", own, ERROR_SUCCESS},
      {L"stamped.exe", stamped, ERROR_FILE_INVALID},
      {L"payload.exe", payload, ERROR_FILE_INVALID},
      {L"cut.exe", cut, ERROR_FILE_INVALID},
  };
  for (const auto& [name, bytes, expected] : rows) {
    SCOPED_TRACE(Narrow(name));
    WriteFileBytes(root / name, bytes);
    HeldFile held;
    ASSERT_EQ(held.Take((root / name).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(ConfirmRunningImage(held.handle(), Self()), expected);
  }
}

TEST(ExtractFileFromResource, APayloadOfSeveralPiecesIsWrittenAndConfirmedWhole) {
  ScratchFolder root;
  const std::string expected = LargePayload();
  ASSERT_GT(expected.size(), 2 * kSecondPiece);
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "from the file" : "from the image");
    std::optional<PayloadsFromFile> source;
    if (fromFile) {
      source.emplace();
    }
    MessageBoxRecorder boxes;
    HeldFile hold;
    EXPECT_TRUE(Extract(IDP_SETTINGS_TEMPLATE, L"large.bin", root.path(), &hold));
    EXPECT_TRUE(hold.IsHeld());
    EXPECT_THAT(boxes.boxes(), IsEmpty());
    hold.Release();
    EXPECT_EQ(ReadFileBytes(root / L"large.bin"), expected);
  }
}

TEST(ExtractFileFromResource, CreatesTheMissingFoldersOfAFullPath) {
  // The prerequisite packages are written this way, below the temporary folder.
  ScratchFolder root;
  EXPECT_TRUE(Extract(IDP_README, L"", root / L"a\\b\\Prereqs\\MSXML6\\readme.txt"));
  EXPECT_EQ(ReadFileBytes(root / L"a\\b\\Prereqs\\MSXML6\\readme.txt").size(), 12u);
}

TEST(ExtractFileFromResource, TruncatesAnExistingWritableFileToThePayload) {
  ScratchFolder root;
  WriteFileBytes(root / L"package.msi", std::string(100000, 'o'));
  EXPECT_TRUE(Extract(IDP_PRODUCT_PACKAGE, L"package.msi", root.path()));
  EXPECT_EQ(ReadFileBytes(root / L"package.msi"), kPackageBytes);
}

// A destination that cannot be opened for writing is not forced: no attribute is cleared, the
// file is left as it was, and the user sees message 47 with the name.
void ExpectRefusedDestination(const std::wstring& folder, const std::wstring& target,
                              const std::string& error) {
  MessageBoxRecorder boxes;
  LogTail log;
  EXPECT_FALSE(Extract(IDP_PRODUCT_PACKAGE, L"package.msi", folder));
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, Row(IDS_COULD_NOT_CREATE) + L"package.msi");
  EXPECT_EQ(boxes.boxes()[0].caption, kCaption);
  EXPECT_EQ(boxes.boxes()[0].owner, nullptr);
  EXPECT_EQ(boxes.boxes()[0].icon, BoxIcon::Error);
  EXPECT_THAT(log.lines(), ElementsAre("[ExtractFileFromResource] Creating file: " + Narrow(target),
                                       "[ExtractFileFromResource] CreateFile failure: " + error));
}

TEST(ExtractFileFromResource, ReadOnlyDestinationIsRefusedWithMessage47) {
  ScratchFolder root;
  const std::wstring target = root / L"package.msi";
  WriteFileBytes(target, "older");
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
  // Wine keeps the read-only attribute in the file's Unix permissions, which do not bind a
  // process running as root; the end-to-end tests cover that case with an immutable file.
  HANDLE probe = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    GTEST_SKIP() << "this file system lets the test write to a read-only file";
  }
  ExpectRefusedDestination(root.path(), target, "5");
  EXPECT_EQ(ReadFileBytes(target), "older");
  EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(ExtractFileFromResource, DestinationHeldOpenByAnotherIsRefusedWithMessage47) {
  ScratchFolder root;
  const std::wstring target = root / L"package.msi";
  WriteFileBytes(target, "older");
  HANDLE holder = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ExpectRefusedDestination(root.path(), target, "32");
  CloseHandle(holder);
  EXPECT_EQ(ReadFileBytes(target), "older");
}

TEST(ExtractFileFromResource, AFolderThatCannotBeMadeIsACreationFailureNotAFullDisk) {
  // A file stands where a folder of the path would have to be.
  ScratchFolder root;
  WriteFileBytes(root / L"Prereqs", "a file");
  const std::wstring target = root / L"Prereqs\\MSXML6\\readme.txt";
  MessageBoxRecorder boxes;
  LogTail log;
  EXPECT_FALSE(Extract(IDP_README, L"", target));
  EXPECT_THAT(boxes.texts(), ElementsAre(Row(IDS_COULD_NOT_CREATE) + L"readme.txt"));
  EXPECT_THAT(log.lines(), ElementsAre("[ExtractFileFromResource] Creating file: " + Narrow(target),
                                       "[ExtractFileFromResource] CreateFile failure: 3"));
}

TEST(ExtractFileFromResource, AHeldPayloadCannotBeReplacedOrMovedAwayUntilLetGo) {
  ScratchFolder root;
  const std::wstring target = root / L"package.msi";
  const std::wstring impostor = root / L"impostor.msi";
  TemporaryFile package(target);
  ASSERT_TRUE(Extract(IDP_PRODUCT_PACKAGE, L"", target, &package.hold()));
  // Readers that share reading, as the installer and CreateProcessW do, still open it.
  EXPECT_EQ(ReadFileBytes(target), kPackageBytes);
  WriteFileBytes(impostor, "impostor");
  EXPECT_THAT(attack::ReplaceByRename(target, impostor), testing::AnyOf(5u, 32u));
  EXPECT_THAT(attack::MoveAway(target), testing::AnyOf(5u, 32u));
  EXPECT_EQ(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadFileBytes(target), kPackageBytes);

  // The same attempts win once the hold is let go.
  package.hold().Release();
  EXPECT_EQ(attack::ReplaceByRename(target, impostor), 0u);
  EXPECT_EQ(ReadFileBytes(target), "impostor");
  EXPECT_EQ(attack::MoveAway(target), 0u);

  // The owner deletes its file, held or not.
  ASSERT_TRUE(Extract(IDP_PRODUCT_PACKAGE, L"", target, &package.hold()));
  package.Remove();
  EXPECT_FALSE(Exists(target));
}

// Another writer in the instant between the payload's writer and its hold, put there through the
// seam (no real timing does that reliably): one that stays open keeps the hold from being taken,
// one that changed a byte and went is found out by the comparison with the payload.
std::wstring g_intrudedFile;
HANDLE g_intruder = INVALID_HANDLE_VALUE;
bool g_intruderStays = false;
LONG g_intrudeAt = 0;  // where the intruder writes

BOOL WINAPI CloseAndIntrude(HANDLE writer) {
  const BOOL closed = CloseHandle(writer);
  g_intruder = CreateFileW(g_intrudedFile.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD written = 0;
  SetFilePointer(g_intruder, g_intrudeAt, nullptr, FILE_BEGIN);
  WriteFile(g_intruder, "X", 1, &written, nullptr);
  if (!g_intruderStays) {
    CloseHandle(g_intruder);
  }
  return closed;
}

TEST(ExtractFileFromResource, AWriterBeforeTheHoldMakesThePayloadCountAsNotWritten) {
  ScratchFolder root;
  g_intrudedFile = root / L"package.msi";
  const PayloadSystemCallTable saved = PayloadSystemCalls();
  PayloadSystemCalls().closeWriter = &CloseAndIntrude;
  // A change beyond the first piece of a payload of several is found out as well.
  for (const auto& [stays, error, fromFile, id, at] :
       {std::tuple{true, "32", false, IDP_PRODUCT_PACKAGE, std::size_t{0}},
        std::tuple{false, "1006", false, IDP_PRODUCT_PACKAGE, std::size_t{0}},
        std::tuple{false, "1006", true, IDP_PRODUCT_PACKAGE, std::size_t{0}},
        std::tuple{false, "1006", false, IDP_SETTINGS_TEMPLATE, 2 * kSecondPiece},
        std::tuple{false, "1006", true, IDP_SETTINGS_TEMPLATE, kSecondPiece}}) {
    SCOPED_TRACE(testing::Message() << id << " changed at " << at);
    g_intruderStays = stays;
    g_intrudeAt = static_cast<LONG>(at);
    std::optional<PayloadsFromFile> source;
    if (fromFile) {
      source.emplace();
    }
    MessageBoxRecorder boxes;
    LogTail log;
    HeldFile hold;
    EXPECT_FALSE(Extract(static_cast<WORD>(id), L"", g_intrudedFile, &hold));
    if (stays) {
      CloseHandle(g_intruder);
    }
    EXPECT_FALSE(hold.IsHeld());
    EXPECT_THAT(boxes.texts(), ElementsAre(Row(IDS_COULD_NOT_WRITE) + L"package.msi"));
    EXPECT_THAT(log.lines(),
                ElementsAre("[ExtractFileFromResource] Creating file: " + Narrow(g_intrudedFile),
                            std::string("[ExtractFileFromResource] WriteFile failure: ") + error));
  }
  PayloadSystemCalls() = saved;
}

// The bytes of a text, delivered in pieces of at most `piece` bytes, as a transfer delivers them.
class TextSource final : public ByteSource {
 public:
  TextSource(std::string text, std::size_t piece) : text_(std::move(text)), piece_(piece) {}
  DWORD Read(void* buffer, DWORD capacity, DWORD& delivered) override {
    delivered = static_cast<DWORD>(std::min({text_.size() - at_, piece_, std::size_t{capacity}}));
    text_.copy(static_cast<char*>(buffer), delivered, at_);
    at_ += delivered;
    return ERROR_SUCCESS;
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

// The two other writers of held files: the copy of a downloaded package, an engine update or the
// verifying executable under the hold of its source, and the file received from a transfer. Each
// holds a whole file of several pieces, and refuses one that another writer changed at its
// hand-over, anywhere in it.
TEST(HeldFileWriters, AFileRewrittenAtItsHandOverIsRefused) {
  ScratchFolder root;
  const std::string bytes = LargePayload();
  WriteFileBytes(root / L"source.bin", bytes);
  HeldFile source;
  ASSERT_EQ(source.Take((root / L"source.bin").c_str()), 0u);
  g_intrudedFile = root / L"target\\copy.bin";
  const PayloadSystemCallTable saved = PayloadSystemCalls();
  const auto write = [&](bool copy, HeldFile& hold) {
    TextSource received(bytes, 100000);
    return copy ? CopyHeldFile(source, g_intrudedFile, hold)
                : WriteHeldFile(received, g_intrudedFile, hold);
  };
  for (const bool copy : {true, false}) {
    SCOPED_TRACE(copy ? "copy" : "transfer");
    PayloadSystemCalls() = saved;
    HeldFile hold;
    ASSERT_EQ(write(copy, hold), 0u);
    EXPECT_TRUE(hold.IsHeld());
    hold.Release();
    EXPECT_EQ(ReadFileBytes(g_intrudedFile), bytes);

    PayloadSystemCalls().closeWriter = &CloseAndIntrude;
    for (const auto& [stays, at, error] :
         {std::tuple{true, std::size_t{0}, 32u}, std::tuple{false, std::size_t{0}, 1006u},
          std::tuple{false, kSecondPiece, 1006u}, std::tuple{false, bytes.size() - 1, 1006u}}) {
      SCOPED_TRACE(testing::Message() << "changed at " << at << (stays ? ", writer stays" : ""));
      g_intruderStays = stays;
      g_intrudeAt = static_cast<LONG>(at);
      EXPECT_EQ(write(copy, hold), error);
      if (stays) {
        CloseHandle(g_intruder);
      }
      EXPECT_FALSE(hold.IsHeld());
    }
  }
  PayloadSystemCalls() = saved;
}

TEST(ExtractFileFromResource, MissingPayloadShowsCouldNotFindAndTheNameAndWritesNothing) {
  ScratchFolder root;
  MessageBoxRecorder boxes;
  LogTail log;
  EXPECT_FALSE(Extract(IDP_RUNTIME, L"vcredist_vc9.exe", root.path()));
  EXPECT_THAT(boxes.texts(), ElementsAre(L"Could not find   vcredist_vc9.exe"));
  EXPECT_EQ(boxes.boxes()[0].caption, kCaption);
  EXPECT_EQ(boxes.boxes()[0].icon, BoxIcon::Error);
  EXPECT_FALSE(Exists(root / L"vcredist_vc9.exe"));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(ExtractFileFromResource, EmptyNameAndPathWithoutBackslashFailsCreationWithNoName) {
  ScratchFolder root;
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(root.path().c_str()));
  MessageBoxRecorder boxes;
  EXPECT_FALSE(Extract(IDP_README, L"", L"loose"));
  SetCurrentDirectoryW(previous);
  EXPECT_THAT(boxes.texts(), ElementsAre(Row(IDS_COULD_NOT_CREATE)));
}

TEST(ExtractFileFromResource, PathsOf260CharactersOrMoreAreRefusedWholeNeverCut) {
  ScratchFolder root;
  // A name that brings the full path to 259 characters fits; one more does not, and neither does
  // a folder that is itself too long. Nothing of a refused path is created, not even its folder.
  const std::size_t fits = MAX_PATH - 1 - root.path().size() - 4;
  const std::wstring fitting = std::wstring(fits, L'f');
  const std::wstring tooLong = std::wstring(fits + 1, L'g');
  {
    MessageBoxRecorder boxes;
    EXPECT_TRUE(Extract(IDP_README, (fitting + L".txt").c_str(), root.path()));
    EXPECT_EQ(ReadFileBytes(root / fitting + L".txt").size(), 12u);
    EXPECT_THAT(boxes.boxes(), IsEmpty());
  }
  struct Case {
    const wchar_t* name;
    std::wstring folderOrPath;
    std::wstring fullPath;
  };
  const std::wstring longFolder = root / L"sub\\" + std::wstring(MAX_PATH, L'd');
  const std::wstring tooLongName = tooLong + L".txt";
  const Case refused[] = {
      {tooLongName.c_str(), root.path(), root / tooLongName},
      {nullptr, root / tooLongName, root / tooLongName},
      {L"readme.txt", longFolder, longFolder + L"\\readme.txt"},
  };
  for (const Case& c : refused) {
    MessageBoxRecorder boxes;
    LogTail log;
    EXPECT_FALSE(Extract(IDP_README, c.name, c.folderOrPath));
    // The message names the whole path, not a cut one.
    EXPECT_THAT(boxes.texts(), ElementsAre(WithInsert(IDS_INVALID_PATH, c.fullPath)));
    EXPECT_THAT(log.lines(), IsEmpty());
  }
  EXPECT_FALSE(Exists(root / tooLong + L".txt"));
  EXPECT_FALSE(Exists(root / L"sub"));
  EXPECT_FALSE(Exists(root / tooLong + L".tx"));
}

// Free space through the seam: every query answers with the counts set here and records the
// folder it was asked about; the real query is put back afterwards.
class FreeSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = PayloadSystemCalls();
    active_ = this;
    PayloadSystemCalls().getDiskFreeSpaceEx = &FreeSpace::Query;
  }
  void TearDown() override {
    PayloadSystemCalls() = saved_;
    active_ = nullptr;
  }

  static BOOL WINAPI Query(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total,
                           PULARGE_INTEGER totalFree) {
    active_->asked_.push_back(folder != nullptr ? folder : L"(null)");
    if (!active_->succeeds_) {
      SetLastError(ERROR_NOT_READY);
      return FALSE;
    }
    available->QuadPart = active_->available_;
    total->QuadPart = active_->totalFree_ * 2;
    totalFree->QuadPart = active_->totalFree_;
    return TRUE;
  }

  static FreeSpace* active_;
  PayloadSystemCallTable saved_;
  bool succeeds_ = true;
  std::uint64_t totalFree_ = 0;
  std::uint64_t available_ = 0;
  std::vector<std::wstring> asked_;
};

FreeSpace* FreeSpace::active_ = nullptr;

TEST_F(FreeSpace, TheVolumesWholeFreeCountIsComparedNotTheCallersShare) {
  struct Case {
    std::uint64_t totalFree;
    std::uint64_t available;
    std::uint32_t required;
    bool passes;
  };
  const Case cases[] = {
      {111190016, 111190016, 111190016, true},   // exactly the requirement
      {111190015, 111190015, 111190016, false},  // one byte short
      {111190016, 0, 111190016, true},           // a quota leaves the caller nothing
      {1000, 5000000000ull, 1001, false},        // the caller's share does not count
      {0x100000000ull, 0, 0xFFFFFFFFu, true},    // 4 GiB or more passes anything
      {0x100000005ull, 0, 0x10000000u, true},    // even when its low 32 bits are small
      {0xFFFFFFFFull, 0, 0xFFFFFFFFu, true},    {0, 0, 0, true},
  };
  for (const Case& c : cases) {
    totalFree_ = c.totalFree;
    available_ = c.available;
    MessageBoxRecorder boxes;
    EXPECT_EQ(CheckDiskSpace(L"C:\\", c.required, Self(), kCaption), c.passes)
        << c.totalFree << " free, " << c.required << " required";
    EXPECT_THAT(boxes.boxes(), IsEmpty());
  }
}

TEST_F(FreeSpace, AnUnreadableCountIsMessage52AndFalse) {
  succeeds_ = false;
  MessageBoxRecorder boxes;
  EXPECT_FALSE(CheckDiskSpace(L"C:\\", 1, Self(), kCaption));
  EXPECT_THAT(boxes.texts(), ElementsAre(Row(IDS_NO_FREE_SPACE)));
  EXPECT_EQ(boxes.boxes()[0].icon, BoxIcon::Error);
}

TEST_F(FreeSpace, TheProductPackageNeedsTwiceItsSizeOtherPayloadsTheirOwn) {
  ScratchFolder root;
  const std::uint64_t packageSize = kPackageBytes.size();
  const std::uint64_t readmeSize = 12;
  struct Case {
    WORD id;
    const wchar_t* name;
    std::uint64_t totalFree;
    bool written;
  };
  const Case cases[] = {
      {IDP_PRODUCT_PACKAGE, L"package.msi", 2 * packageSize, true},
      {IDP_PRODUCT_PACKAGE, L"package.msi", 2 * packageSize - 1, false},
      {IDP_README, L"readme.txt", readmeSize, true},
      {IDP_README, L"readme.txt", readmeSize - 1, false},
  };
  for (const Case& c : cases) {
    totalFree_ = c.totalFree;
    asked_.clear();
    const std::wstring folder = root / L"space";
    const std::wstring target = folder + L"\\" + c.name;
    DeleteFileW(target.c_str());
    MessageBoxRecorder boxes;
    LogTail log;
    EXPECT_EQ(Extract(c.id, c.name, folder), c.written) << c.totalFree;
    EXPECT_EQ(Exists(target), c.written);
    // The folder asked about, and the one the message names, carry their trailing backslash.
    EXPECT_THAT(asked_, ElementsAre(folder + L"\\"));
    if (c.written) {
      EXPECT_THAT(boxes.boxes(), IsEmpty());
    } else {
      EXPECT_THAT(boxes.texts(), ElementsAre(WithInsert(IDS_NOT_ENOUGH_SPACE, folder + L"\\")));
      EXPECT_EQ(boxes.boxes()[0].caption, kCaption);
      EXPECT_EQ(boxes.boxes()[0].owner, nullptr);
      EXPECT_THAT(log.lines(), IsEmpty()) << "no file is created when the space is short";
    }
  }
}

TEST_F(FreeSpace, AnUnreadableCountShowsMessage52ThenMessage50) {
  ScratchFolder root;
  succeeds_ = false;
  MessageBoxRecorder boxes;
  EXPECT_FALSE(Extract(IDP_README, L"readme.txt", root.path()));
  EXPECT_THAT(boxes.texts(),
              ElementsAre(Row(IDS_NO_FREE_SPACE), WithInsert(IDS_NOT_ENOUGH_SPACE, root.path())));
  EXPECT_FALSE(Exists(root / L"readme.txt"));
}

// The real query, answered once and then held still, so that the rule is checked against a real
// volume's count without the count moving between two calls.
class RealFreeSpace : public FreeSpace {
 protected:
  void SetUp() override {
    FreeSpace::SetUp();
    ULARGE_INTEGER available;
    ULARGE_INTEGER total;
    ULARGE_INTEGER totalFree;
    ASSERT_TRUE(saved_.getDiskFreeSpaceEx(scratch_.path().c_str(), &available, &total, &totalFree));
    totalFree_ = totalFree.QuadPart;
    available_ = available.QuadPart;
  }
  ScratchFolder scratch_;
};

TEST_F(RealFreeSpace, TheRuleAgainstThisVolumesCount) {
  const wchar_t* folder = scratch_.path().c_str();
  if (totalFree_ < 0x100000000ull) {
    const auto count = static_cast<std::uint32_t>(totalFree_);
    EXPECT_TRUE(CheckDiskSpace(folder, count, Self(), kCaption));
    EXPECT_FALSE(CheckDiskSpace(folder, count + 1, Self(), kCaption));
  } else {
    // A volume with 4 GiB or more free passes every requirement a 32-bit count can make, also
    // the ones above the low 32 bits of its count.
    EXPECT_TRUE(CheckDiskSpace(folder, 0xFFFFFFFFu, Self(), kCaption));
    EXPECT_TRUE(
        CheckDiskSpace(folder, static_cast<std::uint32_t>(totalFree_) + 1, Self(), kCaption));
  }
}

}  // namespace

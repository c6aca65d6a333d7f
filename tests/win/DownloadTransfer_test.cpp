// The transfer core on the real system: the progress callback against a real (hidden) progress
// dialog, with the Escape key delivered through the dialog's own message pump; a transfer's bytes
// received into a held file; URL canonicalisation by WinINet, including the second call when the
// first buffer is too small; and the removal of a downloaded copy from the real URL cache.
#include "net/DownloadTransfer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/PackageDownload.h"
#include "payload/HeldFile.h"
#include "res/ResourceIds.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"
// After the one include of <windows.h>, which they need.
#include <commctrl.h>
#include <wininet.h>

namespace {

using testing_support::InUrlCache;

// A hidden progress dialog from the test program's own resources.
class DialogFixture : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dialog_.Create(GetModuleHandleW(nullptr), L"Download test", 2));
  }
  void TearDown() override { dialog_.Destroy(); }

  std::uint32_t BarPosition() const {
    return static_cast<std::uint32_t>(
        SendDlgItemMessageW(dialog_.window, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
  }
  std::uint32_t BarRange() const {
    return static_cast<std::uint32_t>(
        SendDlgItemMessageW(dialog_.window, IDC_PROGRESS_BAR, PBM_GETRANGE, FALSE, 0));
  }
  // Escape as the keyboard delivers it to the focused control; only the dialog's pump turns it
  // into the cancellation.
  void PressEscape() const {
    PostMessageW(GetDlgItem(dialog_.window, IDC_PROGRESS_BAR), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  }

  ProgressDialog dialog_;
};

// Observes the end of the object's life.
class ObservedCallback : public CDownloadBindStatusCallback {
 public:
  ObservedCallback(ProgressDialog& dialog, bool& destroyed)
      : CDownloadBindStatusCallback(dialog), destroyed_(destroyed) {}
  ~ObservedCallback() override { destroyed_ = true; }

 private:
  bool& destroyed_;
};

using CallbackObject = DialogFixture;

TEST_F(CallbackObject, AnswersForItsTwoInterfacesOnlyAndCountsReferences) {
  bool destroyed = false;
  auto* callback = new ObservedCallback(dialog_, destroyed);
  IBindStatusCallback* self = callback;

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(callback->QueryInterface(IID_IBindStatusCallback, &object), S_OK);
  EXPECT_EQ(object, self);
  EXPECT_EQ(callback->QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_EQ(object, self);
  EXPECT_EQ(callback->QueryInterface(IID_IDispatch, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(callback->QueryInterface(IID_IBinding, &object), E_NOINTERFACE);
  EXPECT_EQ(callback->QueryInterface(IID_IBindStatusCallback, nullptr), E_INVALIDARG);

  // The creator's reference and the two that QueryInterface handed out.
  EXPECT_EQ(callback->AddRef(), 4u);
  EXPECT_EQ(callback->Release(), 3u);
  EXPECT_EQ(callback->Release(), 2u);
  EXPECT_EQ(callback->Release(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(callback->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

TEST_F(CallbackObject, TheOtherSlotsSucceedAndWriteNothingButTheServersCopyInTheBindFlags) {
  auto* callback = new CDownloadBindStatusCallback(dialog_);
  LONG priority = 77;
  DWORD bindFlags = 0xABCD;
  BINDINFO info;
  FillMemory(&info, sizeof(info), 0x5A);
  BINDINFO untouched = info;

  EXPECT_EQ(callback->OnStartBinding(0, nullptr), S_OK);
  EXPECT_EQ(callback->GetPriority(&priority), S_OK);
  EXPECT_EQ(callback->OnLowResource(0), S_OK);
  EXPECT_EQ(callback->OnStopBinding(E_FAIL, L"failed"), S_OK);
  EXPECT_EQ(callback->GetBindInfo(&bindFlags, &info), S_OK);
  EXPECT_EQ(callback->OnDataAvailable(0, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(callback->OnObjectAvailable(IID_IUnknown, nullptr), S_OK);
  EXPECT_EQ(priority, 77);
  // Never an entry of the user's URL cache for the server's copy; every other flag stays.
  EXPECT_EQ(bindFlags, 0xABCDu | BINDF_GETNEWESTVERSION | BINDF_PRAGMA_NO_CACHE);
  EXPECT_EQ(memcmp(&info, &untouched, sizeof(info)), 0);
  EXPECT_EQ(callback->Release(), 0u);
}

struct Event {
  ULONG progress;
  ULONG progressMax;
  ULONG status;
};

constexpr ULONG kBegin = BINDSTATUS_BEGINDOWNLOADDATA;
constexpr ULONG kData = BINDSTATUS_DOWNLOADINGDATA;
constexpr ULONG kEnd = BINDSTATUS_ENDDOWNLOADDATA;

using ProgressEvents = DialogFixture;

TEST_F(ProgressEvents, DriveTheBarToTheMaximumReportedAtTheEnd) {
  struct Case {
    const char* name;
    std::uint32_t rangeBefore;  // set on the dialog before the events
    std::vector<Event> events;
    std::uint32_t range;
    std::uint32_t position;
  };
  const Case cases[] = {
      {"whole transfer",
       0,
       {{0, 1000, kBegin}, {400, 1000, kData}, {1000, 1000, kData}, {1000, 1000, kEnd}},
       1000,
       1000},
      // The end event tops the bar up to the maximum it reports.
      {"short data", 0, {{0, 1000, kBegin}, {600, 1000, kData}, {600, 1000, kEnd}}, 1000, 1000},
      {"begin counts as data", 0, {{250, 1000, kBegin}, {1000, 1000, kEnd}}, 1000, 1000},
      // Without a begin event the bar goes on from the range it had.
      {"no begin", 500, {{100, 500, kData}, {300, 500, kData}}, 500, 300},
      {"begin again",
       0,
       {{0, 100, kBegin}, {50, 100, kData}, {0, 200, kBegin}, {20, 200, kData}},
       200,
       20},
      // Events that carry no byte counts leave the bar alone.
      {"other events",
       300,
       {{100, 300, kData},
        {999, 999, BINDSTATUS_CONNECTING},
        {999, 999, BINDSTATUS_CACHEFILENAMEAVAILABLE}},
       300,
       100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialog_.SetProgressRange(c.rangeBefore);
    auto* callback = new CDownloadBindStatusCallback(dialog_);
    for (const Event& e : c.events) {
      EXPECT_EQ(callback->OnProgress(e.progress, e.progressMax, e.status, nullptr), S_OK);
    }
    callback->Release();
    EXPECT_EQ(dialog_.range, c.range);
    EXPECT_EQ(dialog_.position, c.position);
    EXPECT_EQ(BarRange(), c.range);
    EXPECT_EQ(BarPosition(), c.position);
  }
}

TEST_F(ProgressEvents, CountsWrapAt32Bits) {
  auto* callback = new CDownloadBindStatusCallback(dialog_);
  EXPECT_EQ(callback->OnProgress(0xFFFFFFF0u, 0xFFFFFFFFu, kBegin, nullptr), S_OK);
  EXPECT_EQ(dialog_.position, 0xFFFFFFF0u);
  // A count that wrapped past 2^32 advances by the 32 bytes in between.
  EXPECT_EQ(callback->OnProgress(0x10u, 0xFFFFFFFFu, kData, nullptr), S_OK);
  EXPECT_EQ(dialog_.position, 0x10u);
  callback->Release();
  EXPECT_EQ(dialog_.range, 0xFFFFFFFFu);
}

TEST_F(ProgressEvents, EscapeAbortsEveryByteCountEventFromTheNextOne) {
  auto* callback = new CDownloadBindStatusCallback(dialog_);
  EXPECT_EQ(callback->OnProgress(0, 1000, kBegin, nullptr), S_OK);
  PressEscape();
  EXPECT_FALSE(dialog_.IsCancelled());
  // The advance pumps the queue, the dialog sees Escape, and this very event aborts.
  EXPECT_EQ(callback->OnProgress(100, 1000, kData, nullptr), E_ABORT);
  EXPECT_TRUE(dialog_.IsCancelled());
  EXPECT_EQ(callback->OnProgress(100, 1000, kData, nullptr), E_ABORT);
  EXPECT_EQ(callback->OnProgress(1000, 1000, kEnd, nullptr), E_ABORT);
  // A new begin still sets the range before it aborts.
  EXPECT_EQ(callback->OnProgress(0, 4000, kBegin, nullptr), E_ABORT);
  EXPECT_EQ(BarRange(), 4000u);
  EXPECT_EQ(callback->OnProgress(0, 0, BINDSTATUS_CONNECTING, nullptr), S_OK);
  callback->Release();
  // And the next status text reports the cancellation.
  EXPECT_EQ(dialog_.SetDetailText(L"Verifying"), 1);
}

TEST(CanonicalizeDownloadUrl, AsWinInetWritesIt) {
  struct Case {
    const wchar_t* composed;
    const wchar_t* canonical;
  };
  const Case cases[] = {
      {L"http://127.0.0.1:8080/packages/Product.msi",
       L"http://127.0.0.1:8080/packages/Product.msi"},
      {L"http://127.0.0.1/a b.msi", L"http://127.0.0.1/a%20b.msi"},
      {L"http://127.0.0.1/packages/../Product.msi", L"http://127.0.0.1/Product.msi"},
      {L"http://127.0.0.1/a%20b.msi", L"http://127.0.0.1/a%20b.msi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "URL: " << std::wstring(c.composed));
    std::wstring canonical;
    const std::size_t capacity = wcslen(c.composed) + 2;
    EXPECT_EQ(CanonicalizeDownloadUrl(c.composed, capacity, canonical), 0u);
    EXPECT_EQ(canonical, c.canonical);
  }
}

TEST(CanonicalizeDownloadUrl, TakesASecondBufferWhenTwiceTheSizeIsTooSmall) {
  // Every space becomes three characters, more than twice what the composed URL needed.
  const std::wstring spaces(40, L' ');
  const std::wstring composed = L"http://127.0.0.1/" + spaces + L".msi";
  const std::size_t capacity = composed.size() + 2;
  std::wstring expected = L"http://127.0.0.1/";
  for (std::size_t i = 0; i < spaces.size(); ++i) {
    expected += L"%20";
  }
  expected += L".msi";
  ASSERT_GT(expected.size() + 1, 2 * capacity);

  std::wstring canonical;
  EXPECT_EQ(CanonicalizeDownloadUrl(composed, capacity, canonical), 0u);
  EXPECT_EQ(canonical, expected);
}

using Transfer = DialogFixture;

TEST_F(Transfer, WritesTheBytesItReceivesIntoAHeldFileOrNothing) {
  // A file URL stands in for the server; the bytes are several pieces of a file.
  const testing_support::ScratchFolder folder;
  std::string bytes;
  for (int i = 0; bytes.size() < 700000; ++i) {
    bytes += std::to_string(i) + ",";
  }
  testing_support::WriteFileBytes(folder / L"package.msi", bytes);
  std::wstring url = L"file:///" + folder.path() + L"package.msi";
  const std::wstring target = folder / L"work\\Package.msi";

  HeldFile hold;
  std::wstring cacheFile;
  EXPECT_EQ(DownloadToHeldFile(url.c_str(), dialog_, target, hold, cacheFile), S_OK);
  EXPECT_TRUE(hold.IsHeld());
  EXPECT_FALSE(cacheFile.empty());
  EXPECT_EQ(testing_support::ReadFileBytes(target), bytes);
  // Held: another writer cannot open it.
  EXPECT_EQ(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  hold.Release();

  // A transfer that fails leaves nothing held.
  url = L"file:///" + folder.path() + L"missing.msi";
  EXPECT_TRUE(FAILED(
      DownloadToHeldFile(url.c_str(), dialog_, folder / L"work\\missing.msi", hold, cacheFile)));
  EXPECT_FALSE(hold.IsHeld());
}

// Puts a small file into the URL cache under `url`, as a download would; returns its path.
std::wstring AddToUrlCache(const std::wstring& url) {
  wchar_t path[MAX_PATH] = {};
  if (!CreateUrlCacheEntryW(url.c_str(), 0, L"msi", path, 0)) {
    return {};
  }
  testing_support::WriteFileBytes(path, "package");
  FILETIME never = {};
  if (!CommitUrlCacheEntryW(url.c_str(), path, never, never, NORMAL_CACHE_ENTRY, nullptr, 0,
                            nullptr, nullptr)) {
    return {};
  }
  return path;
}

TEST(RemoveDownloadedCopy, TakesTheCopyOutOfTheUrlCacheOnceATransferStarted) {
  const std::wstring url = L"http://127.0.0.1:9/trust-unit/Product.msi";
  const std::wstring path = AddToUrlCache(url);
  ASSERT_FALSE(path.empty());
  ASSERT_TRUE(InUrlCache(url));

  // No transfer was started: nothing of the cache is touched.
  DownloadedPackage notStarted{url, path, false};
  RemoveDownloadedCopy(notStarted);
  EXPECT_TRUE(InUrlCache(url));
  EXPECT_TRUE(notStarted.canonicalUrl.empty());

  // The run's own copy goes too, held or not.
  const testing_support::ScratchFolder work;
  DownloadedPackage started{url, path, true};
  started.localPath = work / L"Product.msi";
  testing_support::WriteFileBytes(started.localPath, "package");
  ASSERT_EQ(started.local.Take(started.localPath.c_str()), 0u);
  RemoveDownloadedCopy(started);
  EXPECT_FALSE(InUrlCache(url));
  EXPECT_FALSE(testing_support::Exists(work / L"Product.msi"));
  EXPECT_TRUE(started.localPath.empty());
  EXPECT_TRUE(started.canonicalUrl.empty());
  EXPECT_TRUE(started.cacheFilePath.empty());
  EXPECT_FALSE(started.cacheEntryPending);

  // A second removal of what is gone is harmless.
  DownloadedPackage again{url, path, true};
  RemoveDownloadedCopy(again);
  EXPECT_FALSE(InUrlCache(url));
}

}  // namespace

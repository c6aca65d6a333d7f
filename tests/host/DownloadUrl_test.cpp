// The URL of a package below its base URL: exactly one "/" between the two, and bounded building
// that reports a buffer too small instead of producing a shorter URL.
#include "net/DownloadUrl.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DownloadUrl, ExactlyOneSlashBetweenBaseAndName) {
  struct Case {
    const wchar_t* base;
    const wchar_t* name;
    const wchar_t* url;
  };
  const Case cases[] = {
      {L"http://127.0.0.1:8080/packages", L"Product.msi",
       L"http://127.0.0.1:8080/packages/Product.msi"},
      {L"http://127.0.0.1:8080/packages/", L"Product.msi",
       L"http://127.0.0.1:8080/packages/Product.msi"},
      // Only one trailing slash is recognised; a doubled one stays as the product gave it.
      {L"http://host//", L"a.msi", L"http://host//a.msi"},
      // A backslash is not a URL separator and gets its slash.
      {L"http://host\\", L"a.msi", L"http://host\\/a.msi"},
      {L"", L"a.msi", L"/a.msi"},
      {L"http://host/", L"", L"http://host/"},
      {L"http://host", L"sub/dir/a b.msi", L"http://host/sub/dir/a b.msi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "base: " << std::wstring(c.base));
    std::wstring url;
    const std::size_t capacity = ComposedUrlCapacity(c.base, c.name);
    EXPECT_TRUE(ComposeDownloadUrl(c.base, c.name, capacity, url));
    EXPECT_EQ(url, c.url);
    EXPECT_LT(url.size(), capacity);
  }
}

TEST(DownloadUrl, CapacityCountsSeparatorAndTerminator) {
  EXPECT_EQ(ComposedUrlCapacity(L"http://h", L"a.msi"), 8u + 5u + 2u);
  // With the slash already there the buffer has one character to spare.
  std::wstring url;
  EXPECT_TRUE(ComposeDownloadUrl(L"http://h/", L"a.msi",
                                 ComposedUrlCapacity(L"http://h/", L"a.msi") - 1, url));
  EXPECT_EQ(url, L"http://h/a.msi");
}

TEST(DownloadUrl, ABufferTooSmallFailsWithTheTextSoFar) {
  struct Case {
    std::size_t capacity;
    const wchar_t* textSoFar;
  };
  // "http://h" + "/" + "a.msi" needs 15 characters with the terminator.
  const Case cases[] = {
      {14, L"http://h/a.ms"}, {10, L"http://h/"}, {9, L"http://h"},
      {5, L"http"},           {1, L""},           {0, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
    std::wstring url = L"previous";
    EXPECT_FALSE(ComposeDownloadUrl(L"http://h", L"a.msi", c.capacity, url));
    EXPECT_EQ(url, c.textSoFar);
  }
  std::wstring url;
  EXPECT_TRUE(ComposeDownloadUrl(L"http://h", L"a.msi", 15, url));
}

}  // namespace

// The reader of the product's type-40 settings, on this program's own resources (the unit-test
// product: PRODUCTNAME, DATABASE, PROPERTIES and three settings only these tests read).
#include "config/ResourceSettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "sys/Win32.h"

// The reader takes its buffers with the non-throwing array new. This program replaces that one
// allocation function, so a test can make the n-th such allocation fail; every other allocation
// goes through the standard one as usual.
namespace {
int g_nothrowArraysBeforeFailure = -1;  // -1: none fails
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_nothrowArraysBeforeFailure == 0) {
    g_nothrowArraysBeforeFailure = -1;
    return nullptr;
  }
  if (g_nothrowArraysBeforeFailure > 0) {
    --g_nothrowArraysBeforeFailure;
  }
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::LogTail;

const auto* const kTempEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::ScratchTempEnvironment);

HMODULE Self() { return GetModuleHandleW(nullptr); }

std::wstring LongValue() {
  std::wstring value;
  for (int i = 0; i < 300; ++i) {
    value.push_back(static_cast<wchar_t>(L'a' + i % 26));
  }
  return value;
}

std::wstring SurrogateValue() {
  std::wstring value;
  for (int i = 0; i < 200; ++i) {
    value += L"\xD834\xDD1E";  // U+1D11E, one character in two UTF-16 units
  }
  return value;
}

TEST(ReadResourceSetting, ReportsTheCapacityNeededThenCopiesAtExactlyThatSize) {
  struct Case {
    const wchar_t* name;
    std::wstring value;
  };
  const Case cases[] = {
      {L"PRODUCTNAME", L"Unit Product"},
      {L"UNIT_LONG", LongValue()},
      {L"UNIT_SURROGATES", SurrogateValue()},
  };
  for (const Case& c : cases) {
    DWORD capacity = 0;
    wchar_t none[1] = {L'#'};
    EXPECT_EQ(ReadResourceSetting(Self(), c.name, none, capacity),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_GE(capacity, c.value.size() + 1) << "a capacity that holds the whole text";
    EXPECT_EQ(none[0], L'#') << "nothing written while too small";

    std::wstring buffer(capacity, L'#');
    DWORD exact = capacity;
    EXPECT_EQ(ReadResourceSetting(Self(), c.name, buffer.data(), exact), 0u);
    EXPECT_EQ(std::wstring(buffer.c_str()), c.value);
    EXPECT_EQ(exact, capacity);

    DWORD short1 = capacity - 1;
    EXPECT_EQ(ReadResourceSetting(Self(), c.name, buffer.data(), short1),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(short1, capacity);
  }
}

TEST(ReadResourceSetting, AMissingSettingIsNotFoundWithItsLogLine) {
  wchar_t buffer[16] = {};
  DWORD capacity = 16;
  LogTail log;
  EXPECT_EQ(ReadResourceSetting(Self(), L"BASEURL", buffer, capacity),
            static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_THAT(log.lines(), ElementsAre("[Resource] lpName = BASEURL NOT FOUND"));
}

TEST(LoadResourceSetting, DeliversEachSettingWholeWithOneFoundLine) {
  struct Case {
    const wchar_t* name;
    std::wstring value;
    testing::Matcher<std::string> logLine;
  };
  const std::wstring longWide = LongValue();
  const std::string longNarrow(longWide.begin(), longWide.end());
  const Case cases[] = {
      {L"PRODUCTNAME", L"Unit Product", "[Resource] lpName = PRODUCTNAME, lpBuf = Unit Product"},
      {L"DATABASE", L"UnitProduct.msi", "[Resource] lpName = DATABASE, lpBuf = UnitProduct.msi"},
      // Longer than the first buffer: read in a second attempt, whole.
      {L"UNIT_LONG", LongValue(), "[Resource] lpName = UNIT_LONG, lpBuf = " + longNarrow},
      // Fits the first buffer when counted in the ANSI code page, but not in UTF-16 units.
      {L"UNIT_SURROGATES", SurrogateValue(),
       testing::StartsWith("[Resource] lpName = UNIT_SURROGATES, lpBuf = ?")},
  };
  for (const Case& c : cases) {
    SettingBuffer buffer;
    LogTail log;
    EXPECT_EQ(LoadResourceSetting(Self(), c.name, buffer), 0u);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(std::wstring(buffer.get()), c.value);
    EXPECT_THAT(log.lines(), ElementsAre(c.logLine));
  }
}

TEST(LoadResourceSetting, AnEmptySettingIsFoundAndEmpty) {
  SettingBuffer buffer;
  EXPECT_EQ(LoadResourceSetting(Self(), L"UNIT_EMPTY", buffer), 0u);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer[0], L'\0');
}

TEST(LoadResourceSetting, ABufferThatIsAlreadyThereIsReplacedByOneOfTheExactSize) {
  SettingBuffer buffer(new wchar_t[4]{L'o', L'l', L'd', L'\0'});
  const wchar_t* old = buffer.get();
  LogTail log;
  EXPECT_EQ(LoadResourceSetting(Self(), L"DATABASE", buffer), 0u);
  EXPECT_NE(buffer.get(), old);
  EXPECT_EQ(std::wstring(buffer.get()), L"UnitProduct.msi");
  EXPECT_THAT(log.lines(), ElementsAre("[Resource] lpName = DATABASE, lpBuf = UnitProduct.msi"));
}

TEST(LoadResourceSetting, AMissingSettingIsNotFoundWithOneLine) {
  for (const wchar_t* name : {L"OPERATION", L"MINIMUM_MSI", L"BASEURL", L"UPDATELOCATION"}) {
    SettingBuffer buffer;
    LogTail log;
    EXPECT_EQ(LoadResourceSetting(Self(), name, buffer),
              static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    const std::wstring wide(name);
    EXPECT_THAT(
        log.lines(),
        ElementsAre("[Resource] lpName = " + std::string(wide.begin(), wide.end()) + " NOT FOUND"));
  }
}

TEST(LoadResourceSetting, NoBufferIsOutOfMemory14) {
  struct Case {
    const wchar_t* name;
    int allocationsBeforeFailure;
  };
  const Case cases[] = {
      {L"PRODUCTNAME", 0},  // the first buffer
      {L"UNIT_LONG", 1},    // the buffer of the exact size, on the second attempt
  };
  for (const Case& c : cases) {
    SettingBuffer buffer;
    g_nothrowArraysBeforeFailure = c.allocationsBeforeFailure;
    EXPECT_EQ(LoadResourceSetting(Self(), c.name, buffer), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_EQ(g_nothrowArraysBeforeFailure, -1) << "the failure was reached";
    g_nothrowArraysBeforeFailure = -1;
  }
}

}  // namespace

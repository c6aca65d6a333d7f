// The registry reader of the runtime check on the real registry: only string values count, the
// text ends at its first NUL, environment references stay as they are, and a value longer than
// the 1024-byte buffer is not read at all.
#include <gtest/gtest.h>

#include <string>

#include "prereq/RuntimePrerequisite.h"
#include "sys/Win32.h"

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\BootstrapperUnitTests\\RegistryValue";

class RegistryValue : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
  }
  void SetText(const wchar_t* name, DWORD type, const std::wstring& text) {
    Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

  HKEY key_ = nullptr;
};

TEST_F(RegistryValue, OnlyStringsThatFitTheBufferAreRead) {
  const std::wstring longest(511, L'9');  // with its NUL exactly 1024 bytes
  SetText(L"Plain", REG_SZ, L"9.0.30729");
  SetText(L"Expand", REG_EXPAND_SZ, L"%SystemRoot%\\x");
  SetText(L"Embedded", REG_SZ, std::wstring(L"9.0\0tail", 8));
  SetText(L"Longest", REG_SZ, longest);
  SetText(L"TooLong", REG_SZ, longest + L"9");
  SetText(L"Empty", REG_SZ, L"");
  SetText(L"Multi", REG_MULTI_SZ, std::wstring(L"a\0b\0", 4));
  const DWORD number = 9;
  Set(L"Number", REG_DWORD, &number, sizeof(number));

  struct Case {
    const wchar_t* name;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"Plain", L"9.0.30729"}, {L"Expand", L"%SystemRoot%\\x"},
      {L"Embedded", L"9.0"},    {L"Longest", longest},
      {L"TooLong", L""},        {L"Empty", L""},
      {L"Multi", L""},          {L"Number", L""},
      {L"Missing", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(getRegistryValue(kKey, c.name), c.expected) << c.name;
    EXPECT_EQ(IsRuntimeInstalled(kKey, c.name, L"9.0.30729"), !c.expected.empty()) << c.name;
  }
  EXPECT_EQ(getRegistryValue(std::wstring(kKey) + L"\\Absent", L"Plain"), L"");
}

}  // namespace

// The registry reader of the runtime check on the real registry: only string values count, the
// text ends at its first NUL, environment references stay as they are, and a value longer than
// the 1024-byte buffer is not read at all.
#include <gtest/gtest.h>

#include <string>

#include "prereq/RuntimePrerequisite.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\BootstrapperUnitTests\\RegistryValue";
constexpr wchar_t kNativeKey[] = L"SOFTWARE\\BootstrapperUnitTests\\Native";

class RegistryValue : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | testing_support::kProductView,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    testing_support::DeleteProductKey(kKey);
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

#ifdef _WIN64
// Where a 64-bit product would register is not where the 64-bit program looks.
TEST_F(RegistryValue, The64BitProgramDoesNotReadThe64BitView) {
  HKEY native = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNativeKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &native, nullptr),
            ERROR_SUCCESS);
  const wchar_t text[] = L"9.0.30729";
  RegSetValueExW(native, L"Plain", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
  RegCloseKey(native);
  EXPECT_EQ(getRegistryValue(kNativeKey, L"Plain"), L"");
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kNativeKey, KEY_WOW64_64KEY, 0);
}
#endif

}  // namespace

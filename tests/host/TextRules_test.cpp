// The small text rules the rest stands on: splitting and trimming, ASCII-only case folding,
// bounded copies, the values of the MINIMUM_MSI, DATABASE and OPERATION settings, and which
// string table a user sees.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "config/SettingRules.h"
#include "config/TextUtil.h"
#include "ui/TableLanguage.h"

namespace {

using Pieces = std::vector<std::wstring>;

TEST(TextUtil, SplitKeepsEmptyPiecesAndAnEmptyTextHasNone) {
  EXPECT_EQ(text::SplitText(L"", L","), Pieces{});
  EXPECT_EQ(text::SplitText(L"a", L","), Pieces{L"a"});
  EXPECT_EQ(text::SplitText(L",a,,b,", L","), (Pieces{L"", L"a", L"", L"b", L""}));
  EXPECT_EQ(text::SplitText(L"x/y-z", L"-/"), (Pieces{L"x", L"y", L"z"}));
}

TEST(TextUtil, TrimAndRemove) {
  EXPECT_EQ(text::TrimText(L" \t\r\na b\n "), L"a b");
  EXPECT_EQ(text::TrimText(L" \t "), L"");
  EXPECT_EQ(text::RemoveAll(L" a ,\tb\r\n", text::kBlanks), L"a,b");
}

TEST(TextUtil, FoldingChangesAsciiLettersOnly) {
  EXPECT_EQ(text::FoldLower(L"AbC\u00c9\u0130"), L"abc\u00c9\u0130");
  EXPECT_EQ(text::FoldUpper(L"aBc\u00e9z"), L"ABC\u00e9Z");
}

TEST(TextUtil, BoundedCopyAndAppendCountTheTerminator) {
  std::wstring s;
  EXPECT_TRUE(text::BoundedCopy(s, L"abc", 4));
  EXPECT_EQ(s, L"abc");
  EXPECT_FALSE(text::BoundedAppend(s, L"d", 4));
  EXPECT_EQ(s, L"abc");
  EXPECT_FALSE(text::BoundedCopy(s, L"abcdef", 4));
  EXPECT_EQ(s, L"abc");
  EXPECT_TRUE(text::BoundedAppend(s, L"", 4));
  EXPECT_FALSE(text::BoundedCopy(s, L"a", 0));
}

TEST(TextUtil, Decimal) {
  EXPECT_EQ(text::Decimal(0), L"0");
  EXPECT_EQ(text::Decimal(1603), L"1603");
  EXPECT_EQ(text::Decimal(-2147483648LL), L"-2147483648");
  EXPECT_EQ(text::Decimal(LLONG_MIN), L"-9223372036854775808");
}

TEST(SettingRules, MinimumMsi) {
  struct Case {
    const wchar_t* text;
    bool accepted;
    std::uint32_t value;
  };
  const Case cases[] = {
      {L"150", true, 150},
      {L"301", true, 301},
      {L"406", true, 406},
      {L" 301", true, 301},
      {L"\t+301", true, 301},
      {L"00301", true, 301},
      {L"149", false, 0},
      {L"0", false, 0},
      {L"", false, 0},
      {L"3x", false, 0},
      {L"301a", false, 0},
      {L"3.1", false, 0},
      {L"abc", false, 0},
      {L"301 ", false, 0},
      {L"+", false, 0},
      {L" ", false, 0},
      // Neither a negative number nor one beyond 32 bits becomes a huge minimum.
      {L"-301", false, 0},
      {L"4294967296", false, 0},
      {L"99999999999999999999", false, 0},
      {L"4294967295", true, 4294967295u},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 0;
    EXPECT_EQ(ParseMinimumMsi(c.text, value), c.accepted)
        << testing::PrintToString(std::wstring(c.text));
    if (c.accepted) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(SettingRules, IniFileName) {
  std::wstring ini;
  EXPECT_TRUE(DeriveIniFileName(L"CorvellVesk5.msi", ini));
  EXPECT_EQ(ini, L"CorvellVesk5.ini");
  EXPECT_TRUE(DeriveIniFileName(L"x.msi", ini));
  EXPECT_EQ(ini, L"x.ini");
  EXPECT_TRUE(DeriveIniFileName(L"Halvane5.msi", ini));
  EXPECT_EQ(ini, L"Halvane5.ini");
  // The stem fills 35 characters at most: 35 + ".ini" + terminator is the 40-character buffer.
  EXPECT_TRUE(DeriveIniFileName(std::wstring(35, L'a') + L".msi", ini));
  EXPECT_EQ(ini.size(), 39u);
  EXPECT_FALSE(DeriveIniFileName(std::wstring(36, L'a') + L".msi", ini));
  // Too short to have an extension: nothing is taken from it.
  EXPECT_TRUE(DeriveIniFileName(L"abc", ini));
  EXPECT_EQ(ini, L".ini");
}

TEST(SettingRules, OperationKeywordsInAnyCaseAndNothingElse) {
  for (const wchar_t* accepted : {L"INSTALL", L"install", L"InstallUpd", L"DEFAULT"}) {
    EXPECT_TRUE(IsAcceptedOperation(accepted)) << testing::PrintToString(std::wstring(accepted));
  }
  for (const wchar_t* refused :
       {L"", L"MINPATCH", L"UNINSTALL", L" INSTALL", L"INSTALL ", L"\u0130NSTALL"}) {
    EXPECT_FALSE(IsAcceptedOperation(refused)) << testing::PrintToString(std::wstring(refused));
  }
}

TEST(SettingRules, PackageSignerKeywordsAndWhatTheyAskFor) {
  // The build accepts the two keywords in any case; the run reads any value but ANY as asking for
  // setup.exe's own signer, so that a value it does not know never loosens the rule.
  struct Case {
    const wchar_t* value;
    bool keyword;
    bool ownSigner;
  };
  const Case cases[] = {
      {L"ANY", true, false},  {L"any", true, false},      {L"SETUP", true, true},
      {L"Setup", true, true}, {L"OWN", false, true},      {L"", false, true},
      {L"ANY ", false, true}, {L"\u0130NY", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsPackageSignerKeyword(c.value), c.keyword)
        << testing::PrintToString(std::wstring(c.value));
    EXPECT_EQ(RequiresSetupSigner(c.value), c.ownSigner)
        << testing::PrintToString(std::wstring(c.value));
  }
}

TEST(TableLanguage, TheUsersLanguageThenItsFamilyThenTheDefault) {
  const std::uint16_t germanAndEnglish[] = {0x0409, 0x0407};
  const std::uint16_t austrianOnly[] = {0x0409, 0x0C07};
  const std::uint16_t frenchOnly[] = {0x040C};
  struct Case {
    std::uint16_t user;
    const std::uint16_t* available;
    std::size_t count;
    std::uint16_t chosen;
  };
  const Case cases[] = {
      {0x0407, germanAndEnglish, 2, 0x0407},  // German (Germany)
      {0x0807, germanAndEnglish, 2, 0x0407},  // German (Switzerland): German (Germany)
      {0x0807, austrianOnly, 2, 0x0C07},      // ... or any German there is
      {0x0809, germanAndEnglish, 2, 0x0409},  // English (United Kingdom)
      {0x0411, germanAndEnglish, 2, 0x0409},  // Japanese: the default table
      {0x0411, frenchOnly, 1, 0x040C},        // no default table: the one there is
      {0x0407, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseTableLanguage(c.user, c.available, c.count), c.chosen) << std::hex << c.user;
  }
}

}  // namespace

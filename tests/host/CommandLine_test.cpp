// The command-line grammar: screening, splitting, the interpretation table with its forbidden
// pairs in either order, repeated options and the administrative target path.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "config/CommandLine.h"

namespace {

struct Parsed {
  CommandLineResult result;
  RunOptions options;
  std::vector<std::wstring> logged;
};

Parsed Parse(const std::wstring& commandLine, const std::wstring& exeFolder = L"D:\\Setup\\") {
  Parsed parsed{CommandLineResult::Normal, RunOptions{}, {}};
  parsed.options.exeFolder = exeFolder;
  parsed.result = ParseCommandLine(commandLine, parsed.options, [&](const std::wstring& piece) {
    parsed.logged.push_back(piece);
  });
  return parsed;
}

struct Case {
  const wchar_t* commandLine;
  CommandLineResult result;
  std::uint32_t uiLevel;  // checked unless the result is Usage
  bool writeIniFile;
  bool ignorePathCheck;
};

constexpr auto N = CommandLineResult::Normal;
constexpr auto U = CommandLineResult::Usage;
constexpr auto A = CommandLineResult::AdminInstall;
constexpr auto X = CommandLineResult::Uninstall;

const Case kCases[] = {
    // Nothing at all is a normal installation with the full UI.
    {L"", N, 5, false, false},
    {L"   ", N, 5, false, false},
    // Help and unknown letters.
    {L"/?", U, 0, false, false},
    {L"-?", U, 0, false, false},
    {L"/h", U, 0, false, false},
    {L"/1", U, 0, false, false},
    // Screening: text before the first switch, bare switch characters, a tab in front.
    {L"abc /qn", U, 0, false, false},
    {L"/", U, 0, false, false},
    {L"-", U, 0, false, false},
    {L" / - ", U, 0, false, false},
    {L"\t/qn", U, 0, false, false},
    {L"  /qn", N, 2, false, false},
    // Switch characters are interchangeable, letters fold, only the value's first letter counts.
    {L"-QN", N, 2, false, false},
    {L"/qn", N, 2, false, false},
    {L"/Qb", N, 3, false, false},
    {L"/qr", N, 4, false, false},
    {L"/qf", N, 5, false, false},
    {L"/q", N, 5, false, false},
    {L"/qnx", N, 2, false, false},
    {L"/qz", U, 0, false, false},
    {L"/ q", U, 0, false, false},
    {L"/q n", N, 2, false, false},
    {L"/q\tn", N, 2, false, false},
    // No space needed between switches; doubled and trailing switch characters are harmless.
    {L"/qn/x", X, 2, false, false},
    {L"--qn", N, 2, false, false},
    {L"/qn /", N, 2, false, false},
    // Administrative installation.
    {L"/a", U, 0, false, false},
    {L"/a ", U, 0, false, false},
    {L"/a E:\\Image /qn", A, 2, false, false},
    {L"/qb /a E:\\Image", A, 3, false, false},
    {L"/a E:\\my-image", U, 0, false, false},
    // Removal.
    {L"/x", X, 3, false, false},
    {L"/x /qn", X, 2, false, false},
    {L"/qn /x", X, 2, false, false},
    {L"/x /qb", X, 3, false, false},
    {L"/x /x", X, 3, false, false},
    {L"/x /qf", U, 0, false, false},
    {L"/qf /x", U, 0, false, false},
    {L"/x /qr", U, 0, false, false},
    {L"/qr /x", U, 0, false, false},
    {L"/x /p", U, 0, false, false},
    {L"/p /x", U, 0, false, false},
    {L"/a X /x", U, 0, false, false},
    {L"/x /a X", U, 0, false, false},
    {L"/x yes", U, 0, false, false},
    // Writing the ini file.
    {L"/w", N, 5, true, false},
    {L"/qb /w", N, 3, true, false},
    {L"/w /qb", N, 3, true, false},
    {L"/w /qf", N, 5, true, false},
    {L"/w /qn", U, 0, false, false},
    {L"/qn /w", U, 0, false, false},
    {L"/w /qr", U, 0, false, false},
    {L"/qr /w", U, 0, false, false},
    {L"/w /x", U, 0, false, false},
    {L"/x /w", U, 0, false, false},
    {L"/w /a X", U, 0, false, false},
    {L"/a X /w", U, 0, false, false},
    {L"/w now", U, 0, false, false},
    {L"/w /w", N, 5, true, false},
    // The path check.
    {L"/p", N, 5, false, true},
    {L"/w /p", N, 5, true, true},
    {L"/p /w", N, 5, true, true},
    {L"/p /p", N, 5, false, true},
    {L"/p /a X", U, 0, false, false},
    {L"/a X /p", U, 0, false, false},
    {L"/p yes", U, 0, false, false},
    // A later UI level replaces an earlier one.
    {L"/qn /qb", N, 3, false, false},
};

TEST(CommandLine, InterpretationTable) {
  for (const Case& c : kCases) {
    const Parsed parsed = Parse(c.commandLine);
    SCOPED_TRACE(testing::Message()
                 << "command line ["
                 << std::string(c.commandLine, c.commandLine + std::wcslen(c.commandLine)) << "]");
    EXPECT_EQ(parsed.result, c.result);
    EXPECT_EQ(parsed.options.usageError(), c.result == U);
    if (c.result == U) {
      continue;
    }
    EXPECT_EQ(parsed.options.uiLevel(), c.uiLevel);
    EXPECT_EQ(parsed.options.writeIniFile(), c.writeIniFile);
    EXPECT_EQ(parsed.options.ignorePathCheck(), c.ignorePathCheck);
  }
}

TEST(CommandLine, OptionWordLayout) {
  EXPECT_EQ(Parse(L"").options.optionWord, 0x1005u);
  EXPECT_EQ(Parse(L"/qn").options.optionWord, 0x1002u);
  EXPECT_EQ(Parse(L"/w /p").options.optionWord, 0x1065u);
  EXPECT_EQ(Parse(L"/x").options.optionWord, 0x1303u);
  EXPECT_EQ(Parse(L"/a E:\\I /qr").options.optionWord, 0x1204u);
  EXPECT_EQ(Parse(L"/?").options.optionWord & 0x8000u, 0x8000u);
}

TEST(CommandLine, EveryNonBlankPieceIsLoggedInOrderEvenAfterARejection) {
  const Parsed parsed = Parse(L"/qn  /z -x \t/ / \r\n/p");
  EXPECT_EQ(parsed.result, U);
  const std::vector<std::wstring> expected = {L"qn  ", L"z ", L"x \t", L"p"};
  EXPECT_EQ(parsed.logged, expected);
}

TEST(CommandLine, AScreenedOutTextIsNeitherSplitNorLogged) {
  const Parsed parsed = Parse(L"abc /qn");
  EXPECT_EQ(parsed.result, U);
  EXPECT_TRUE(parsed.logged.empty());
  // Only what was accepted before the rejected piece has changed.
  EXPECT_EQ(Parse(L"/qn /z /w").options.uiLevel(), 2u);
}

TEST(CommandLine, AdministrativeTargetPath) {
  struct PathCase {
    const wchar_t* commandLine;
    const wchar_t* exeFolder;
    const wchar_t* stored;
  };
  const PathCase cases[] = {
      {L"/a E:\\Image", L"D:\\Setup\\", L"\"E:\\Image\\\""},
      {L"/a E:\\Image\\", L"D:\\Setup\\", L"\"E:\\Image\\\""},
      {L"/a Image", L"D:\\Setup\\", L"\"D:\\Setup\\Image\\\""},
      {L"/a  E:\\Image  ", L"D:\\Setup\\", L"\"E:\\Image\\\""},
      {L"/a \"E:\\My Image\"", L"D:\\Setup\\", L"\"E:\\My Image\\\""},
      {L"/a \"E:\\My Image\\\"", L"D:\\Setup\\", L"\"E:\\My Image\\\""},
      // Relative with quotes: text before the first quote is dropped.
      {L"/a x\"My Image\"", L"D:\\Setup\\", L"\"D:\\Setup\\My Image\\\""},
      // Relative with no folder known: taken as it is.
      {L"/a Image", L"", L"\"Image\\\""},
      // A later /a replaces the path.
      {L"/a X /a Y", L"D:\\Setup\\", L"\"D:\\Setup\\Y\\\""},
  };
  for (const PathCase& c : cases) {
    const Parsed parsed = Parse(c.commandLine, c.exeFolder);
    EXPECT_EQ(parsed.result, A);
    EXPECT_EQ(parsed.options.adminTargetPath, c.stored);
  }
}

TEST(CommandLine, AdminTargetPathOfOddValuesStaysWellFormed) {
  // A lone quote, a quote after a drive, a quote with no folder known: never an empty or
  // half-built text, and the value always ends up ending in a backslash before its last character.
  for (const wchar_t* value : {L"\"", L"\"\"", L"E:\"", L"\"\\", L"x"}) {
    for (const wchar_t* folder : {L"", L"D:\\Setup\\"}) {
      const std::wstring stored = NormaliseAdminTargetPath(value, folder);
      ASSERT_GE(stored.size(), 2u);
      EXPECT_EQ(stored[stored.size() - 2], L'\\');
    }
  }
}

}  // namespace

// The verification form is recognised only as a first instance writes it; everything else goes
// to the ordinary grammar, which rejects the letter v.
TEST(CommandLine, VerificationForm) {
  struct VerifyCase {
    const wchar_t* commandLine;
    const wchar_t* file;  // null: not the verification form
  };
  const VerifyCase cases[] = {
      {L"/v \"C:\\Users\\me\\Temp\\instmsi3.exe\"", L"C:\\Users\\me\\Temp\\instmsi3.exe"},
      {L"  -V\t\"C:\\a-b/c d.exe\"  \r\n", L"C:\\a-b/c d.exe"},
      {L"/v\"x\"", L"x"},
      {L"", nullptr},
      {L"/v", nullptr},
      {L"/v ", nullptr},
      {L"/v \"\"", nullptr},
      {L"/v C:\\file.exe", nullptr},
      {L"/v \"C:\\file.exe", nullptr},
      {L"/v \"a\" \"b\"", nullptr},
      {L"/v \"a\" /qn", nullptr},
      {L"/qn /v \"a\"", nullptr},
      {L"x /v \"a\"", nullptr},
      {L"/ v \"a\"", nullptr},
      {L"/w \"a\"", nullptr},
  };
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "command line: " << std::wstring(c.commandLine));
    std::wstring file = L"untouched";
    const bool selected = ParseVerificationCommandLine(c.commandLine, file);
    EXPECT_EQ(selected, c.file != nullptr);
    EXPECT_EQ(file, c.file != nullptr ? c.file : L"untouched");
    if (c.file == nullptr) {
      // Nothing else changes for these: the ordinary grammar still shows the usage text for a v.
      const bool mentionsV = std::wstring(c.commandLine).find_first_of(L"vV") != std::wstring::npos;
      if (mentionsV) {
        EXPECT_EQ(Parse(c.commandLine).result, U);
      }
    }
  }
}

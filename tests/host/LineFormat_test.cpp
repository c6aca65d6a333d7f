// Building log lines and message texts: the placeholders of the program's messages, the buffer
// bounds, the drop-or-cut rules, and the 8-bit text of the log file.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "sys/LineFormat.h"
#include "sys/LogLine.h"

namespace {

using linefmt::Arg;
using linefmt::FormatBounded;
using Found = std::vector<std::wstring>;

std::wstring Format(const wchar_t* format, std::initializer_list<Arg> args,
                    std::size_t capacity = 1024) {
  std::wstring out;
  FormatBounded(out, format, args, capacity);
  return out;
}

TEST(LineFormat, PlaceholdersOfTheProgramsMessages) {
  EXPECT_EQ(Format(L"[Info] path to Msi: %s\n", {Arg::Text(L"C:\\T\\x.msi")}),
            L"[Info] path to Msi: C:\\T\\x.msi\n");
  EXPECT_EQ(Format(L"%d", {Arg::Number(static_cast<std::uint32_t>(-5))}), L"-5");
  EXPECT_EQ(Format(L"%ld", {Arg::Number(0x80000000u)}), L"-2147483648");
  EXPECT_EQ(Format(L"%lu", {Arg::Number(0xC00000BAu)}), L"3221225658");
  EXPECT_EQ(Format(L"0x%X", {Arg::Number(0x800B0004u)}), L"0x800B0004");
  EXPECT_EQ(Format(L"0x%X", {Arg::Number(0)}), L"0x0");
  EXPECT_EQ(Format(L"%x", {Arg::Number(255)}), L"ff");
  EXPECT_EQ(Format(L"100%%", {}), L"100%");
  EXPECT_EQ(Format(L"'%s' is at least '%d'.", {Arg::Text(L"3x"), Arg::Number(150)}),
            L"'3x' is at least '150'.");
}

TEST(LineFormat, FlagsWidthAndPrecision) {
  EXPECT_EQ(Format(L"[%5d]", {Arg::Number(42)}), L"[   42]");
  EXPECT_EQ(Format(L"[%-5d]", {Arg::Number(42)}), L"[42   ]");
  EXPECT_EQ(Format(L"[%05d]", {Arg::Number(static_cast<std::uint32_t>(-42))}), L"[-0042]");
  EXPECT_EQ(Format(L"[%08X]", {Arg::Number(0xBA)}), L"[000000BA]");
  EXPECT_EQ(Format(L"[%.2s]", {Arg::Text(L"abcdef")}), L"[ab]");
  EXPECT_EQ(Format(L"[%#x]", {Arg::Number(16)}), L"[0x10]");
}

TEST(LineFormat, MissingArgumentsAndUnknownConversionsAreHarmless) {
  EXPECT_EQ(Format(L"%s and %s", {Arg::Text(L"one")}), L"one and ");
  EXPECT_EQ(Format(L"%d", {}), L"0");
  EXPECT_EQ(Format(L"%n %p %", {}), L"%n %p %");
  EXPECT_EQ(Format(L"%s", {Arg::Text(nullptr)}), L"");
  // A huge width cannot make a huge line.
  EXPECT_LE(Format(L"%999999999d", {Arg::Number(1)}, 1u << 20).size(), 4096u);
}

TEST(LineFormat, BoundsCountTheTerminator) {
  std::wstring out;
  EXPECT_TRUE(FormatBounded(out, L"abc", {}, 4));
  EXPECT_EQ(out, L"abc");
  EXPECT_FALSE(FormatBounded(out, L"abcd", {}, 4));
  EXPECT_EQ(out, L"abc");
  EXPECT_FALSE(FormatBounded(out, L"a", {}, 0));
  EXPECT_EQ(out, L"");
}

TEST(LogLine, StringLines) {
  std::wstring line;
  ASSERT_TRUE(logline::BuildStringLine(line, L"[Info] %s and %s\n", L"one", L"two"));
  EXPECT_EQ(line, L"[Info] one and two\n");
  // An absent or empty first text leaves the format as it stands, placeholders and all.
  ASSERT_TRUE(logline::BuildStringLine(line, L"[Info] path to OEM: %s\n", L"", L"ignored"));
  EXPECT_EQ(line, L"[Info] path to OEM: %s\n");
  ASSERT_TRUE(logline::BuildStringLine(line, L"[Info] %s\n", nullptr, nullptr));
  EXPECT_EQ(line, L"[Info] %s\n");
  // A text is put in once and never read as a format.
  ASSERT_TRUE(logline::BuildStringLine(line, L"[Info] %s\n", L"%s%d%%", nullptr));
  EXPECT_EQ(line, L"[Info] %s%d%%\n");
  EXPECT_FALSE(logline::BuildStringLine(line, nullptr, L"x", nullptr));
}

TEST(LogLine, NumberLinesAlwaysFitTheirSlack) {
  std::wstring line;
  ASSERT_TRUE(logline::BuildNumberLine(line, L"%d", 0x80000000u));
  EXPECT_EQ(line, L"-2147483648");
  ASSERT_TRUE(logline::BuildNumberLine(line, L"[WVT] WVT returned 0x%X\n", 0x800B0100u));
  EXPECT_EQ(line, L"[WVT] WVT returned 0x800B0100\n");
  ASSERT_TRUE(logline::BuildNumbersLine(line, L"%d%d", 0x80000000u, 0x80000000u));
  EXPECT_EQ(line, L"-2147483648-2147483648");
  ASSERT_TRUE(logline::BuildNumberLine(line, L"%lu", 0xFFFFFFFFu));
  EXPECT_EQ(line, L"4294967295");
}

TEST(LogLine, LinesThatDoNotFitAreDroppedNotCut) {
  std::wstring line;
  // A width beyond the buffer's slack: the line is dropped, never cut.
  EXPECT_FALSE(logline::BuildNumberLine(line, L"%40d", 1));
  EXPECT_FALSE(logline::BuildStringLine(line, L"%40s", L"x", nullptr));
}

TEST(LogLine, FileTextIsOneByteACharacterAndLinesEndInCrLf) {
  EXPECT_EQ(logline::ToFileText(L"abc\n"), "abc\r\n");
  EXPECT_EQ(logline::ToFileText(L"[Info] a\n[Info]   b"), "[Info] a\r\n[Info]   b");
  EXPECT_EQ(logline::ToFileText(L"Caf\u00e9 \u00ff"), "Caf\xe9 \xff");
  EXPECT_EQ(logline::ToFileText(L"\u0416\u4e2d\u0100"), "???");
}

// What a replacement text must keep: every "%" sequence, as the formatter reads it.
TEST(LineFormat, PlaceholdersOfAMessageText) {
  EXPECT_EQ(linefmt::Placeholders(L"Please wait while '%s' is initialized..."), Found{L"%s"});
  EXPECT_EQ(linefmt::Placeholders(L"'%s' is ... at least '%d'."), (Found{L"%s", L"%d"}));
  EXPECT_EQ(linefmt::Placeholders(L"error code: %1."), Found{L"%1"});
  EXPECT_EQ(linefmt::Placeholders(L"%12 and %1!s! then %-5lu"),
            (Found{L"%12", L"%1!s!", L"%-5lu"}));
  EXPECT_EQ(linefmt::Placeholders(L"100%% done, 50%"), (Found{L"%%", L"%"}));
  EXPECT_EQ(linefmt::Placeholders(L"no placeholder"), Found{});
}

}  // namespace

// Version arithmetic and command lines of the Windows Installer engine upgrade.
#include "prereq/UpgradeRules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(UpgradeRules, EngineVersionNumberIgnoresBuildAndRevision) {
  struct Case {
    std::uint32_t mostSignificant;
    std::uint32_t number;
  };
  const Case cases[] = {
      {0x00030001, 301},                     // 3.1.4000.2435
      {0x00040005, 405},                     // 4.5.6001.22308, the engine of a Wine prefix
      {0x00050000, 500}, {0x0003000A, 310},  // a two-digit minor counts as hundredths
      {0x00000000, 0},   {0xFFFF0000, 6553500},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineVersionNumber(c.mostSignificant), c.number) << std::hex << c.mostSignificant;
  }
}

TEST(UpgradeRules, MinimumComparison) {
  struct Case {
    std::uint32_t mostSignificant;
    std::uint32_t minimum;
    bool meets;
  };
  const Case cases[] = {
      {0x00030001, 301, true},
      {0x00030000, 301, false},
      {0x00040005, 301, true},
      {0x00040005, 405, true},
      {0x00040005, 406, false},
      {0x00030001, 405, false},
      {0x00050000, 406, true},
      // No fixed-information block: new enough for any minimum, even the largest.
      {kNoFixedFileVersion, 406, true},
      {kNoFixedFileVersion, 0xFFFFFFFF, true},
      // 0xFFFF.0xFFFE is a real version and compares by its number.
      {0xFFFFFFFE, 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MeetsMinimumVersion(c.mostSignificant, c.minimum), c.meets)
        << std::hex << c.mostSignificant << std::dec << " against " << c.minimum;
  }
}

TEST(UpgradeRules, CommandLinesQuoteThePaths) {
  EXPECT_EQ(BuildUpdateCommandLine(L"C:\\Users\\A B\\Temp\\Prereqs\\instmsi3.exe"),
            L"\"C:\\Users\\A B\\Temp\\Prereqs\\instmsi3.exe\" /passive /norestart");
  EXPECT_EQ(BuildVerifyCommandLine(L"D:\\Media Disk\\setup.exe", L"C:\\cache\\update[1].exe"),
            L"\"D:\\Media Disk\\setup.exe\" /v \"C:\\cache\\update[1].exe\"");
}

}  // namespace

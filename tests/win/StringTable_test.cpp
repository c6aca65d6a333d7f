// The string table of the built setup.exe, read back row by row with LoadStringW: every message
// and setting row must hold exactly the words the program is meant to show or use, trailing
// spaces included, so that a typo in the resource script cannot land.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "res/ResourceIds.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

const std::vector<std::pair<UINT, std::wstring>> kExpectedRows = {
    {11, L"Windows Installer Wrapper"},
    {12, L"Out of Memory"},
    {13, L"Setup was unable to find the msi package or patch '%1'."},
    {14, L"Cancel"},
    {15, L"The required resource '%1' is missing."},
    {16, L"Please wait while '%s' is initialized..."},
    {17, L"Halvane5"},
    {18, L"Downloading package '%s'"},
    {19, L"Verifying digital signature of '%s'"},
    {20,
     L"Setup was unable to upgrade the Windows Installer to a version that supports schema '%s'."},
    {21, L"This version of Windows does not support digital signatures."},
    {22, L"Installation failed.  '%1' is not trusted."},
    {23, L"The path '%1' is invalid."},
    {24, L"Setup was cancelled"},
    {25, L"'%s' is an invalid Msi version. Be sure that it is numeric and is at least '%d'."},
    {26, L"Admin privileges are required for upgrading the Windows Installer."},
    {27, L"Downloading Windows Installer update executable"},
    {28, L"Setup was unable to find the update file '%1'."},
    {29, L"Setup was unable to upgrade the Windows Installer, error code: %1."},
    {30,
     L"You must restart your system for the configuration changes to take effect. Click Yes to "
     L"restart now or No if you plan to manually restart later."},
    {31, L"The provided update package '%1' is invalid."},
    {32, L"An error occured installing the package.  Windows Installer returned '%d'."},
    {33,
     L"This package requires a newer version of the Windows Installer. Do you want to update the "
     L"version of the Windows Installer on your system?"},
    {34, L"The setup was authored with an incorrect operation resource '%1' and cannot continue."},
    {35,
     L"Usage: (Version 1.15)\n    /? :  Show this help dialog\n    [/p] [/q[n|f|b|r]] :  Normal "
     L"installation\n    /a <PATH> [/q[n|f|b|r]] :  Administrative Install to <PATH>\n    /w [/p] "
     L"[/q[b|f]] :  Configure and write ini file\n    /x [/q[n|b]] :  Uninstall product\n    /p :  "
     L"Override path/hard drive check\n    /q[n|f|b|r] :  Specify UI level for install (None, "
     L"Full, Basic, Reduced)\n"},
    {36, L"This package is not supported on this platform."},
    {37, L"An irrecoverable internal error occured."},
    {38, L"Halvane5.msi"},
    {39, L"301"},
    {40, L"Prereqs\\MSXML6\\msxml6_x86.msi"},
    {41, L"Prereqs\\MSXML6\\msxml6_x64.msi"},
    {42, L"Prereqs\\instmsi3.exe"},
    {43, L"The operation (%s) completed successfully"},
    {44, L"Could not find   "},
    {45, L"Could not load %1  "},
    {46, L"Could not extract %1  "},
    {47, L"Could not create   "},
    {48, L"Could not write   "},
    {49, L"Extracting...      "},
    {50,
     L"There is not enough space available on the destination drive: %1, the install cannot "
     L"continue."},
    {51, L"Could not inflate   "},
    {52, L"Failed to get the disk free space"},
    {53, L"Registering...      "},
    {54, L"Failed to get file version."},
    {55, L"ERROR: Server not registered.\nCause = GetProcAddress failed.\nName = "},
    {56, L"ERROR: Server not registered.\nCause = DllRegisterServer failed.\nName = "},
    {57, L"ERROR: Server not registered.\nCause = LoadLibrary failed.\nName = "},
    {58, L"Initializing... File Integrity Data"},
    {59, L"%s file already exists, do you want to overwrite?"},
    {60, L"This installation requires Admin privileges."},
    {61, L"CreateProcess failed (%d). Please rerun install."},
    {62,
     L"Installation of CRT was successful. Please reboot computer and then restart this "
     L"installation."},
    {80, L"vcredist_vc8.exe"},
    {82, L"/q"},
    {84,
     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{710F4C1C-CC18-4C49-8CBF-"
     L"51240C89A1A2}"},
    {86, L"DisplayVersion"},
    {88, L"8.0.59193"},
    {90, L"vcredist_vc9.exe"},
    {92, L"/q"},
    {93, L"/q"},
    {94,
     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{9BE518E6-ECC6-35A9-88E4-"
     L"87755C07200F}"},
    {95,
     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{1F1C2DFC-2D24-3E06-BCB8-"
     L"725134ADF989}"},
    {96, L"DisplayVersion"},
    {98, L"9.0.30729"},
    {110, L"This action is only valid for products that are currently installed."},
};

class BuiltExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring path = testing_support::WindowsBuildFolder() + L"setup.exe";
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "cannot load setup.exe from BOOTSTRAPPER_WIN_BUILD";
  }
  void TearDown() override {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }

  std::wstring Row(UINT id) const {
    // A pointer to the row itself, so its full length is seen whatever a buffer would cut.
    const wchar_t* text = nullptr;
    const int length = LoadStringW(module_, id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
  }

  HMODULE module_ = nullptr;
};

TEST_F(BuiltExecutable, EveryRowOfTheStringTableHoldsItsExactText) {
  for (const auto& [id, expected] : kExpectedRows) {
    EXPECT_EQ(Row(id), expected) << "string " << id;
  }
}

TEST_F(BuiltExecutable, HoldsNoRowsBesidesTheKnownOnes) {
  std::vector<UINT> known;
  for (const auto& row : kExpectedRows) {
    known.push_back(row.first);
  }
  for (UINT id = 0; id < 1200; ++id) {
    if (std::find(known.begin(), known.end(), id) == known.end()) {
      EXPECT_TRUE(Row(id).empty()) << "unexpected string " << id;
    }
  }
}

TEST_F(BuiltExecutable, RowsAreEnglishUnitedStates) {
  // String rows live in blocks of sixteen: row 11 is in block 1.
  EXPECT_NE(FindResourceExW(module_, RT_STRING, MAKEINTRESOURCEW(1), 1033), nullptr);
  EXPECT_NE(FindResourceExW(module_, RT_STRING, MAKEINTRESOURCEW(110 / 16 + 1), 1033), nullptr);
}

TEST_F(BuiltExecutable, CarriesTheDialogsIconAndAnElevatingManifest) {
  EXPECT_NE(FindResourceExW(module_, RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS), 1033), nullptr);
  EXPECT_NE(FindResourceExW(module_, RT_DIALOG, MAKEINTRESOURCEW(IDD_UPGRADING), 1033), nullptr);
  EXPECT_NE(FindResourceW(module_, MAKEINTRESOURCEW(IDI_SETUP), RT_GROUP_ICON), nullptr);

  HRSRC manifest = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(manifest, nullptr);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(module_, manifest)));
  const std::string text(bytes, SizeofResource(module_, manifest));
  EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
}

TEST_F(BuiltExecutable, TheProgressDialogIsAClassicTemplateOfTheRightSize) {
  HRSRC dialog = FindResourceExW(module_, RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS), 1033);
  ASSERT_NE(dialog, nullptr);
  const auto* tmpl = static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(module_, dialog)));
  ASSERT_NE(tmpl, nullptr);
  // An extended template starts with the words 1 and 0xFFFF instead of a style.
  EXPECT_NE(HIWORD(tmpl->style), 0xFFFF);
  const DWORD expectedStyle = WS_POPUP | WS_CAPTION | DS_SETFONT | DS_MODALFRAME | DS_NOIDLEMSG;
  EXPECT_EQ(tmpl->style, expectedStyle);
  EXPECT_EQ(tmpl->dwExtendedStyle, 0u);
  EXPECT_EQ(tmpl->cdit, 5);
  EXPECT_EQ(tmpl->x, 150);
  EXPECT_EQ(tmpl->y, 150);
  EXPECT_EQ(tmpl->cx, 253);
  EXPECT_EQ(tmpl->cy, 75);
}

}  // namespace

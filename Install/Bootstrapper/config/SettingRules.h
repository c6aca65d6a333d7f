// Rules for the values of the product's settings. Pure: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Names of the settings stored in the executable, in the order the run reads them.
inline constexpr wchar_t kSettingOperation[] = L"OPERATION";
inline constexpr wchar_t kSettingProductName[] = L"PRODUCTNAME";
inline constexpr wchar_t kSettingDatabase[] = L"DATABASE";
inline constexpr wchar_t kSettingMinimumMsi[] = L"MINIMUM_MSI";
inline constexpr wchar_t kSettingUpdate[] = L"UPDATE";
inline constexpr wchar_t kSettingUpdateLocation[] = L"UPDATELOCATION";
inline constexpr wchar_t kSettingBaseUrl[] = L"BASEURL";
inline constexpr wchar_t kSettingPackageSigner[] = L"PACKAGESIGNER";
inline constexpr wchar_t kSettingProperties[] = L"PROPERTIES";
inline constexpr const wchar_t* kSettingNames[] = {
    kSettingOperation,  kSettingProductName,   kSettingDatabase,
    kSettingMinimumMsi, kSettingUpdate,        kSettingUpdateLocation,
    kSettingBaseUrl,    kSettingPackageSigner, kSettingProperties};

// The operations a setup may be authored for; all three lead to the same run.
inline constexpr const wchar_t* kAcceptedOperations[] = {L"INSTALL", L"INSTALLUPD", L"DEFAULT"};

// Whether `text` is one of the accepted operations, ASCII letters compared without case. The run
// compares with the system's keyword comparison, which accepts at least what this accepts.
bool IsAcceptedOperation(std::wstring_view text);

// PACKAGESIGNER, who may sign a package downloaded from BASEURL: any signer the system trusts
// (the default), or only the certificate that signs setup.exe itself.
inline constexpr const wchar_t* kPackageSignerKeywords[] = {L"ANY", L"SETUP"};

// Whether `text` is one of the PACKAGESIGNER keywords, ASCII letters compared without case.
bool IsPackageSignerKeyword(std::wstring_view text);

// Whether a PACKAGESIGNER of `text` asks for setup.exe's own signer. Anything but ANY does: a
// value the run does not know never loosens the rule that a product asked for.
bool RequiresSetupSigner(std::wstring_view text);

// The lowest Windows Installer version (major * 100 + minor) a product may ask for.
inline constexpr std::uint32_t kLowestMinimumMsi = 150;

// MINIMUM_MSI as a number: a whole unsigned decimal number in the manner of wcstoul (leading
// white space and a plus sign allowed), nothing left over, at least 150. A negative number or one
// beyond 32 bits is refused rather than wrapped into a huge minimum.
bool ParseMinimumMsi(std::wstring_view text, std::uint32_t& value);

// Capacity of the ini file name, terminator included.
inline constexpr std::size_t kIniFileNameCapacity = 40;

// The product's ini file name: DATABASE without its last four characters (".msi"), then ".ini".
// False when that name does not fit its 40 characters; it is then not used at all.
bool DeriveIniFileName(std::wstring_view databaseName, std::wstring& iniFileName);

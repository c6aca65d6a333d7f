// Rules for the values of the product's settings. Pure: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

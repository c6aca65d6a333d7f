// The arithmetic and the command lines of the Windows Installer engine upgrade. Pure: no Windows
// headers, compiled into setup.exe and into the host-native tests.
#pragma once

#include <cstdint>
#include <string>

// What a file's version reads as when its version resource has no fixed-information block. It
// is taken as new enough for any minimum.
inline constexpr std::uint32_t kNoFixedFileVersion = 0xFFFFFFFFu;

// The most significant 32 bits of a file version (major in the high half, minor in the low half)
// as major * 100 + minor, the form of MINIMUM_MSI: 3.1 is 301, 4.5 is 405.
std::uint32_t EngineVersionNumber(std::uint32_t fileVersionMostSignificant);

// Whether a file of that version reaches `minimum`.
bool MeetsMinimumVersion(std::uint32_t fileVersionMostSignificant, std::uint32_t minimum);

// `"<package>" /passive /norestart`: unattended, with progress only, and never restarting by
// itself (the run offers the restart at its end).
std::wstring BuildUpdateCommandLine(const std::wstring& packagePath);

// `"<executable>" /v "<file>"`: a second instance of the bootstrapper that checks the file's
// signature and reports the verdict as its exit code.
std::wstring BuildVerifyCommandLine(const std::wstring& exePath, const std::wstring& filePath);

#include "prereq/UpgradeRules.h"

std::uint32_t EngineVersionNumber(std::uint32_t fileVersionMostSignificant) {
  const std::uint32_t major = fileVersionMostSignificant >> 16;
  const std::uint32_t minor = fileVersionMostSignificant & 0xFFFFu;
  return major * 100u + minor;
}

bool MeetsMinimumVersion(std::uint32_t fileVersionMostSignificant, std::uint32_t minimum) {
  return fileVersionMostSignificant == kNoFixedFileVersion ||
         EngineVersionNumber(fileVersionMostSignificant) >= minimum;
}

std::wstring BuildUpdateCommandLine(const std::wstring& packagePath) {
  return L"\"" + packagePath + L"\" /passive /norestart";
}

std::wstring BuildVerifyCommandLine(const std::wstring& exePath, const std::wstring& filePath) {
  return L"\"" + exePath + L"\" /v \"" + filePath + L"\"";
}

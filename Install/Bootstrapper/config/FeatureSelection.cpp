#include "config/FeatureSelection.h"

#include "payload/FileUtilities.h"
#include "sys/BootstrapLog.h"
#include "sys/Win32.h"

namespace {

constexpr wchar_t kFeatureFileName[] = L"Feature.ini";
constexpr wchar_t kSection[] = L"oem";
// Each value is read into this many characters; the system's reader cuts longer ones.
constexpr DWORD kValueCapacity = 2048;

}  // namespace

void BuildFeatureSelection(const FeatureSelectionPieces& pieces,
                           const std::wstring& oemSourceFolder,
                           std::wstring& featureSelectionText) {
  featureSelectionText.clear();
  // With no folder (the package came from a URL) the bare name is found in the current folder.
  const std::wstring path = oemSourceFolder + kFeatureFileName;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  // GetPrivateProfileStringW looks for a name without a folder in the Windows folder, so the
  // current folder is named explicitly.
  std::wstring iniPath = path;
  if (oemSourceFolder.empty()) {
    iniPath = L".\\" + path;
  }
  featureSelectionText = BuildFeatureSelectionText(
      pieces,
      [&iniPath](const wchar_t* key) {
        wchar_t value[kValueCapacity] = {};
        GetPrivateProfileStringW(kSection, key, L"", value, kValueCapacity, iniPath.c_str());
        return std::wstring(value);
      },
      [](const wchar_t* key, const std::wstring& piece) {
        LogString(L"[Info] Feature.ini %s entry left out, not a valid name: %s\n", key,
                  piece.c_str());
      });
}

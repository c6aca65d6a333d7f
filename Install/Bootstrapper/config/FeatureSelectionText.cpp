#include "config/FeatureSelection.h"

#include "config/TextUtil.h"

namespace {

constexpr wchar_t kExclude[] = L"exclude";
constexpr wchar_t kInclude[] = L"include";

}  // namespace

bool IsInstallerIdentifier(const std::wstring& name) {
  const auto letter = [](wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
  };
  if (name.empty() || !(letter(name[0]) || name[0] == L'_')) {
    return false;
  }
  for (const wchar_t c : name) {
    if (!(letter(c) || (c >= L'0' && c <= L'9') || c == L'_' || c == L'.')) {
      return false;
    }
  }
  return true;
}

std::wstring BuildFeatureSelectionText(const FeatureSelectionPieces& pieces,
                                       const FeatureKeyReader& readKey) {
  std::wstring allDrivers = text::FoldLower(readKey(L"ALLDRIVERS"));
  if (allDrivers != kExclude && allDrivers != kInclude) {
    allDrivers = kExclude;
  }
  std::wstring selection = L"ALLDRIVERS=" + allDrivers;

  const std::wstring include = text::RemoveAll(readKey(L"include"), text::kBlanks);
  selection += L" ADDLOCAL=";
  selection += pieces.features;
  if (!include.empty()) {
    selection += L',';
    if (!pieces.drivers.empty()) {
      selection += pieces.drivers;
      selection += L',';
    }
    selection += include;
  }

  if (!pieces.properties.empty()) {
    selection += L' ';
    selection += pieces.properties;
  }

  // Each excluded name becomes a property set to "exclude". An empty piece (two commas in a row,
  // a comma at either end) would be an assignment without a property name, which the installer
  // cannot take: it is skipped.
  const std::wstring exclude = text::RemoveAll(readKey(L"exclude"), text::kBlanks);
  for (const std::wstring& piece : text::SplitText(exclude, L",")) {
    if (piece.empty()) {
      continue;
    }
    selection += L' ';
    selection += text::FoldUpper(piece);
    selection += L'=';
    selection += kExclude;
  }
  return selection;
}

#include "config/FeatureSelection.h"

#include "config/TextUtil.h"

namespace {

constexpr wchar_t kBaseFeatures[] =
    L"InstallationProperties,license_techsupport_rtfs,MicrosoftDependancies,Halvane,"
    L"OPCPellin";
constexpr wchar_t kDriverParentFeature[] = L",DeviceDrivers,";
constexpr wchar_t kSelectionProperties[] = L" ENABLEPLUGINS=0 INTERFACES=";
constexpr wchar_t kExclude[] = L"exclude";
constexpr wchar_t kInclude[] = L"include";

}  // namespace

std::wstring BuildFeatureSelectionText(const FeatureKeyReader& readKey) {
  std::wstring allDrivers = text::FoldLower(readKey(L"ALLDRIVERS"));
  if (allDrivers != kExclude && allDrivers != kInclude) {
    allDrivers = kExclude;
  }
  std::wstring selection = L"ALLDRIVERS=" + allDrivers;

  const std::wstring include = text::RemoveAll(readKey(L"include"), text::kBlanks);
  selection += L" ADDLOCAL=";
  selection += kBaseFeatures;
  if (!include.empty()) {
    selection += kDriverParentFeature;
    selection += include;
  }

  selection += kSelectionProperties;
  selection += kExclude;

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

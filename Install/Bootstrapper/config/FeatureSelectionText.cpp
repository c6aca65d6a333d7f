#include <utility>
#include <vector>

#include "config/FeatureSelection.h"
#include "config/TextUtil.h"

namespace {

constexpr wchar_t kExclude[] = L"exclude";
constexpr wchar_t kInclude[] = L"include";

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

}  // namespace

bool IsInstallerIdentifier(const std::wstring& name) {
  if (name.empty() || !(IsAsciiLetter(name[0]) || name[0] == L'_')) {
    return false;
  }
  for (const wchar_t c : name) {
    if (!IsAsciiLetter(c) && !(c >= L'0' && c <= L'9') && c != L'_' && c != L'.') {
      return false;
    }
  }
  return true;
}

std::wstring BuildFeatureSelectionText(const FeatureSelectionPieces& pieces,
                                       const FeatureKeyReader& readKey,
                                       const DroppedPieceReporter& reportDropped) {
  // The names of a list, white space removed. A name that is no identifier (with a quote or an
  // "=" in it, say) could end the value and add properties of its own, a transform included: it
  // is left out and reported. An empty piece (two commas in a row, a comma at either end) names
  // nothing and is skipped.
  const auto readNames = [&](const wchar_t* key) {
    std::vector<std::wstring> names;
    for (std::wstring& piece :
         text::SplitText(text::RemoveAll(readKey(key), text::kBlanks), L",")) {
      if (IsInstallerIdentifier(piece)) {
        names.push_back(std::move(piece));
      } else if (!piece.empty() && reportDropped) {
        reportDropped(key, piece);
      }
    }
    return names;
  };

  std::wstring allDrivers = text::FoldLower(readKey(L"ALLDRIVERS"));
  if (allDrivers != kExclude && allDrivers != kInclude) {
    allDrivers = kExclude;
  }
  std::wstring selection = L"ALLDRIVERS=" + allDrivers;

  const std::vector<std::wstring> include = readNames(L"include");
  selection += L" ADDLOCAL=";
  selection += pieces.features;
  if (!include.empty()) {
    if (!pieces.drivers.empty()) {
      selection += L',';
      selection += pieces.drivers;
    }
    for (const std::wstring& name : include) {
      selection += L',';
      selection += name;
    }
  }

  if (!pieces.properties.empty()) {
    selection += L' ';
    selection += pieces.properties;
  }

  // Each excluded name becomes a property set to "exclude".
  for (const std::wstring& name : readNames(L"exclude")) {
    selection += L' ';
    selection += text::FoldUpper(name);
    selection += L'=';
    selection += kExclude;
  }
  return selection;
}

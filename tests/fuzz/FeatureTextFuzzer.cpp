// The property text made from a feature file's three values.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "config/FeatureSelection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto texts = fuzz::WideTexts(data, size, 3);
  // A product's pieces as a checked description gives them.
  const FeatureSelectionPieces pieces{L"Core,Help", L"Drivers", L"PLUGINS=0"};
  const std::wstring selection = BuildFeatureSelectionText(pieces, [&](const wchar_t* key) {
    const std::wstring name(key);
    if (name == L"ALLDRIVERS") return texts[0];
    if (name == L"include") return texts[1];
    if (name == L"exclude") return texts[2];
    std::abort();
  });
  if (selection.rfind(L"ALLDRIVERS=include ADDLOCAL=", 0) != 0 &&
      selection.rfind(L"ALLDRIVERS=exclude ADDLOCAL=", 0) != 0) {
    std::abort();
  }
  // White space never reaches the installer inside a value, and no exclusion is an assignment
  // without a property name.
  if (selection.find_first_of(L"\t\r\n") != std::wstring::npos ||
      selection.find(L"  ") != std::wstring::npos ||
      selection.find(L" =exclude") != std::wstring::npos || selection.back() == L' ') {
    std::abort();
  }
  return 0;
}

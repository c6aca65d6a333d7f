// The property text made from a feature file's three values.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "config/FeatureSelection.h"
#include "config/TextUtil.h"

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
  // Every property name, and every feature asked for, is an installer identifier: nothing from
  // the file can end a value or add an assignment of its own.
  for (const std::wstring& assignment : text::SplitText(selection, L" ")) {
    const std::size_t equals = assignment.find(L'=');
    if (equals == std::wstring::npos || !IsInstallerIdentifier(assignment.substr(0, equals))) {
      std::abort();
    }
    if (assignment.compare(0, equals, L"ADDLOCAL") == 0) {
      for (const std::wstring& feature : text::SplitText(assignment.substr(equals + 1), L",")) {
        if (!IsInstallerIdentifier(feature)) {
          std::abort();
        }
      }
    }
  }
  return 0;
}

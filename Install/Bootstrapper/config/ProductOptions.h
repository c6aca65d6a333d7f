// What a product's description chooses beyond its settings: whether the run installs the C++
// runtime and the XML parser, the texts of the runtime step, and the product's own pieces of
// the feature selection. Stored as resources of type 41 (one line of UTF-16 text each, named in
// upper case) and read without log lines: the log lists the settings of type 40 only.
#pragma once

#include <string>

#include "config/FeatureSelection.h"
#include "sys/Win32.h"

struct ProductOptions {
  bool runtime = true;         // the C++ runtime step runs
  bool xmlParser = true;       // the XML parser step runs
  std::wstring runtimeDetail;  // the progress window's detail line while the runtime step runs
  // Without a feature selection the distributor's Feature.ini is not read at all.
  bool hasFeatureSelection = false;
  FeatureSelectionPieces featureSelection;
};

// Reads the options of `module`; what it does not carry keeps the program's own behaviour.
ProductOptions LoadProductOptions(HMODULE module);

#include "config/FeatureSelection.h"

// Placeholder until the feature file is read.
std::wstring BuildFeatureSelectionText(const FeatureKeyReader&) {
  return {};
}

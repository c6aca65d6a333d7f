#include "config/FeatureSelection.h"

// Placeholder until the feature file is read.
void BuildFeatureSelection(const std::wstring&, std::wstring& featureSelectionText) {
  featureSelectionText.clear();
}

// The distributor's feature selection: "Feature.ini" in the "OEM\" folder beside the executable
// narrows a first-time installation to chosen device drivers and excludes named parts.
#pragma once

#include <functional>
#include <string>

// Reads the value of `key` in section "oem" of the feature file; empty when missing.
using FeatureKeyReader = std::function<std::wstring(const wchar_t* key)>;

// The Windows Installer property text for the values the reader gives. Pure.
std::wstring BuildFeatureSelectionText(const FeatureKeyReader& readKey);

// Looks for "Feature.ini" in `oemSourceFolder` (the current folder when it is empty) and fills
// `featureSelectionText`, which stays empty when there is no such file.
void BuildFeatureSelection(const std::wstring& oemSourceFolder, std::wstring& featureSelectionText);

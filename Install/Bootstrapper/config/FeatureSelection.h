// The distributor's feature selection: "Feature.ini" in the "OEM\" folder beside the executable
// narrows a first-time installation to chosen device drivers and excludes named parts.
#pragma once

#include <functional>
#include <string>

// Reads the value of `key` in section "oem" of the feature file; empty when missing.
using FeatureKeyReader = std::function<std::wstring(const wchar_t* key)>;

// Told of each piece of the include or exclude list that is left out: the key and the piece.
using DroppedPieceReporter = std::function<void(const wchar_t* key, const std::wstring& piece)>;

// Whether `name` is a Windows Installer identifier: a letter or underscore, then letters, digits,
// underscores and periods (ASCII letters). Only such a name can stand on the installer's command
// line as a feature or property name without changing what the rest of the line means. Pure.
bool IsInstallerIdentifier(const std::wstring& name);

// The Windows Installer property text for the values the reader gives. A piece of the include or
// exclude list that is no identifier is left out and reported. Pure.
std::wstring BuildFeatureSelectionText(const FeatureKeyReader& readKey,
                                       const DroppedPieceReporter& reportDropped = {});

// Looks for "Feature.ini" in `oemSourceFolder` (the current folder when it is empty) and fills
// `featureSelectionText`, which stays empty when there is no such file.
void BuildFeatureSelection(const std::wstring& oemSourceFolder, std::wstring& featureSelectionText);

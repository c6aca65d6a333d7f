// The distributor's feature selection: "Feature.ini" in the "OEM\" folder beside the executable
// narrows a first-time installation to chosen device drivers and excludes named parts.
#pragma once

#include <functional>
#include <string>

// Reads the value of `key` in section "oem" of the feature file; empty when missing.
using FeatureKeyReader = std::function<std::wstring(const wchar_t* key)>;

// The product's own pieces of the selection, from its description: the features every first
// installation asks for, the parent feature after which the distributor's drivers follow, and
// the fixed property assignments that close the selection.
struct FeatureSelectionPieces {
  std::wstring features;    // comma-separated, e.g. "Core,Help"
  std::wstring drivers;     // one feature name; empty: the drivers follow the features directly
  std::wstring properties;  // e.g. "ENABLEPLUGINS=0 INTERFACES=exclude"; may be empty
};

// Told of each piece of the include or exclude list that is left out: the key and the piece.
using DroppedPieceReporter = std::function<void(const wchar_t* key, const std::wstring& piece)>;

// Whether `name` is a Windows Installer identifier, so can name a feature or a property of a
// package: a letter or underscore, then letters, digits, underscores and periods (ASCII letters).
// Only such a name can stand on the installer's command line as a feature or property name
// without changing what the rest of the line means. Pure.
bool IsInstallerIdentifier(const std::wstring& name);

// Whether `name` (compared as it is, letters' case included) is one of the Windows Installer's own
// public properties, which a command line can set: ADDLOCAL, REMOVE, TRANSFORMS, REBOOT, ... Pure.
bool IsInstallerProperty(const std::wstring& name);

// The Windows Installer property text for the product's pieces and the values the reader gives.
// A piece of the include or exclude list that is no identifier, or that is (in upper case, for
// an exclusion) one of the installer's own properties, is left out and reported. Pure.
std::wstring BuildFeatureSelectionText(const FeatureSelectionPieces& pieces,
                                       const FeatureKeyReader& readKey,
                                       const DroppedPieceReporter& reportDropped = {});

// Looks for "Feature.ini" in `oemSourceFolder` (the current folder when it is empty) and fills
// `featureSelectionText`, which stays empty when there is no such file.
void BuildFeatureSelection(const FeatureSelectionPieces& pieces,
                           const std::wstring& oemSourceFolder, std::wstring& featureSelectionText);

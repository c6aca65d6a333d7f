// The property text made from a distributor's Feature.ini: the fixed feature list, ALLDRIVERS
// folded and defaulted, white space anywhere in the lists ignored, exclusions in upper case.
#include "config/FeatureSelection.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace {

bool SameKey(const std::wstring& a, const wchar_t* b) {
  const std::wstring other(b);
  if (a.size() != other.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(other[i])) {
      return false;
    }
  }
  return true;
}

// The demo product's pieces, as its description declares them.
const FeatureSelectionPieces kDemo{
    L"InstallationProperties,license_techsupport_rtfs,MicrosoftDependancies,Halvane,OPCPellin",
    L"DeviceDrivers", L"ENABLEPLUGINS=0 INTERFACES=exclude"};

std::wstring Build(const std::map<std::wstring, std::wstring>& section,
                   const FeatureSelectionPieces& pieces = kDemo,
                   std::vector<std::wstring>* dropped = nullptr) {
  return BuildFeatureSelectionText(
      pieces,
      [&section](const wchar_t* key) {
        // The system's ini reader matches key names without regard to case.
        for (const auto& [name, value] : section) {
          if (SameKey(name, key)) {
            return value;
          }
        }
        return std::wstring();
      },
      [dropped](const wchar_t* key, const std::wstring& piece) {
        if (dropped != nullptr) {
          dropped->push_back(std::wstring(key) + L": " + piece);
        }
      });
}

const std::wstring kBase =
    L"ADDLOCAL=InstallationProperties,license_techsupport_rtfs,MicrosoftDependancies,Halvane,"
    L"OPCPellin";

TEST(FeatureSelection, TheExampleOfADistributor) {
  EXPECT_EQ(
      Build({{L"ALLDRIVERS", L"Include"}, {L"include", L"SerialA, NetB"}, {L"exclude", L"toolc"}}),
      L"ALLDRIVERS=include " + kBase +
          L",DeviceDrivers,SerialA,NetB ENABLEPLUGINS=0 INTERFACES=exclude TOOLC=exclude");
}

TEST(FeatureSelection, AnEmptySectionSelectsTheBaseFeaturesOnly) {
  EXPECT_EQ(Build({}), L"ALLDRIVERS=exclude " + kBase + L" ENABLEPLUGINS=0 INTERFACES=exclude");
}

TEST(FeatureSelection, AllDriversIsFoldedAndAnythingElseExcludes) {
  const std::wstring rest = L" " + kBase + L" ENABLEPLUGINS=0 INTERFACES=exclude";
  EXPECT_EQ(Build({{L"ALLDRIVERS", L"INCLUDE"}}), L"ALLDRIVERS=include" + rest);
  EXPECT_EQ(Build({{L"ALLDRIVERS", L"eXcLuDe"}}), L"ALLDRIVERS=exclude" + rest);
  EXPECT_EQ(Build({{L"ALLDRIVERS", L"yes"}}), L"ALLDRIVERS=exclude" + rest);
  EXPECT_EQ(Build({{L"ALLDRIVERS", L" include"}}), L"ALLDRIVERS=exclude" + rest);
  // Folding touches ASCII letters only: a dotted capital I is not an i.
  EXPECT_EQ(Build({{L"ALLDRIVERS", L"\u0130NCLUDE"}}), L"ALLDRIVERS=exclude" + rest);
}

TEST(FeatureSelection, WhiteSpaceAnywhereInTheListsIsIgnoredAndCaseOfIncludesKept) {
  EXPECT_EQ(
      Build({{L"include", L" a , b\t\r\n,C "}}),
      L"ALLDRIVERS=exclude " + kBase + L",DeviceDrivers,a,b,C ENABLEPLUGINS=0 INTERFACES=exclude");
  EXPECT_EQ(Build({{L"include", L" \t "}}),
            L"ALLDRIVERS=exclude " + kBase + L" ENABLEPLUGINS=0 INTERFACES=exclude");
}

TEST(FeatureSelection, ExclusionsInOrderAndEmptyPiecesSkipped) {
  const std::wstring head = L"ALLDRIVERS=exclude " + kBase + L" ENABLEPLUGINS=0 INTERFACES=exclude";
  EXPECT_EQ(Build({{L"exclude", L"a, b"}}), head + L" A=exclude B=exclude");
  EXPECT_EQ(Build({{L"exclude", L",a,,b,"}}), head + L" A=exclude B=exclude");
  EXPECT_EQ(Build({{L"exclude", L" , ,"}}), head);
}

TEST(FeatureSelection, OnlyInstallerIdentifiersReachTheCommandLineTheRestIsReported) {
  const std::wstring head = L"ALLDRIVERS=exclude " + kBase;
  const std::wstring tail = L" ENABLEPLUGINS=0 INTERFACES=exclude";
  std::vector<std::wstring> dropped;
  // A quote would end the value and let the rest be properties of its own, a transform
  // included; an "=" would set one. Spaces inside a name are gone before the name is judged.
  EXPECT_EQ(Build({{L"include", L"SerialA\" TRANSFORMS=x.mst, Net B,_b.2,2c"},
                   {L"exclude", L"t\u00f6\u00f6l,x\"INJECTED=\"1, tool.d,'q'"}},
                  kDemo, &dropped),
            head + L",DeviceDrivers,NetB,_b.2" + tail + L" TOOL.D=exclude");
  EXPECT_EQ(dropped, (std::vector<std::wstring>{L"include: SerialA\"TRANSFORMS=x.mst",
                                                L"include: 2c", L"exclude: t\u00f6\u00f6l",
                                                L"exclude: x\"INJECTED=\"1", L"exclude: 'q'"}));
  // With no name left, no driver feature is asked for.
  EXPECT_EQ(Build({{L"include", L"a=b"}}), head + tail);
}

TEST(FeatureSelection, TheInstallersOwnPropertiesAreLeftOutAndReported) {
  // As a property ("TRANSFORMS=exclude" looks for a transform, "ADDLOCAL=exclude" replaces the
  // selection) and as a feature name alike; an excluded name counts as what it becomes, in upper
  // case, while a feature name is taken as it is written.
  std::vector<std::wstring> dropped;
  EXPECT_EQ(Build({{L"include", L"ADDLOCAL,Patch,REMOVE"},
                   {L"exclude", L"TRANSFORMS, reboot, AddLocal, Plugins"}},
                  kDemo, &dropped),
            L"ALLDRIVERS=exclude " + kBase +
                L",DeviceDrivers,Patch ENABLEPLUGINS=0 INTERFACES=exclude PLUGINS=exclude");
  EXPECT_EQ(dropped, (std::vector<std::wstring>{L"include: ADDLOCAL", L"include: REMOVE",
                                                L"exclude: TRANSFORMS", L"exclude: reboot",
                                                L"exclude: AddLocal"}));
  // Found wherever they stand in the list; a name is the installer's only in its own spelling.
  for (const wchar_t* name : {L"ACTION", L"ALLUSERS", L"CCP_DRIVE", L"TARGETDIR", L"USERNAME"}) {
    EXPECT_TRUE(IsInstallerProperty(name)) << testing::PrintToString(std::wstring(name));
  }
  for (const wchar_t* name : {L"", L"Action", L"ALLDRIVERS", L"ENABLEPLUGINS", L"ZZZ", L"A"}) {
    EXPECT_FALSE(IsInstallerProperty(name)) << testing::PrintToString(std::wstring(name));
  }
}

// Another product's pieces: no parent feature for the drivers, no fixed properties.
TEST(FeatureSelection, AProductWithoutDriverParentOrProperties) {
  const FeatureSelectionPieces notes{L"NotesCore,NotesHelp", L"", L""};
  EXPECT_EQ(Build({{L"include", L"DictGerman"}, {L"exclude", L"tour"}}, notes),
            L"ALLDRIVERS=exclude ADDLOCAL=NotesCore,NotesHelp,DictGerman TOUR=exclude");
  EXPECT_EQ(Build({}, notes), L"ALLDRIVERS=exclude ADDLOCAL=NotesCore,NotesHelp");
}

TEST(FeatureSelection, InstallerIdentifiers) {
  for (const wchar_t* name : {L"A", L"_x", L"Dict.German_2", L"OPCPellin"}) {
    EXPECT_TRUE(IsInstallerIdentifier(name)) << testing::PrintToString(std::wstring(name));
  }
  for (const wchar_t* name : {L"", L"2x", L".a", L"a b", L"a,b", L"a=b", L"\u00e4"}) {
    EXPECT_FALSE(IsInstallerIdentifier(name)) << testing::PrintToString(std::wstring(name));
  }
}

}  // namespace

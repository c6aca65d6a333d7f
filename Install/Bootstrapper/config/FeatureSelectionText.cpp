#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "config/FeatureSelection.h"
#include "config/TextUtil.h"

namespace {

constexpr wchar_t kExclude[] = L"exclude";
constexpr wchar_t kInclude[] = L"include";

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// The Windows Installer's own public properties (its property reference): the names in upper case
// that a command line can set. Set from a distributor's list, each would change how the
// installer runs rather than select anything of the product: TRANSFORMS=exclude looks for a
// transform of that name, REMOVE or ADDLOCAL override the selection, REBOOT, ALLUSERS or TARGETDIR
// change where and how the product goes. Sorted, for the search.
constexpr const wchar_t* kInstallerProperties[] = {
    L"ACTION",
    L"ADDDEFAULT",
    L"ADDLOCAL",
    L"ADDSOURCE",
    L"ADVERTISE",
    L"AFTERREBOOT",
    L"ALLOWLOCKDOWNBROWSE",
    L"ALLOWLOCKDOWNMEDIA",
    L"ALLOWLOCKDOWNPATCH",
    L"ALLUSERS",
    L"ARPAUTHORIZEDCDFPREFIX",
    L"ARPCOMMENTS",
    L"ARPCONTACT",
    L"ARPHELPLINK",
    L"ARPHELPTELEPHONE",
    L"ARPINSTALLLOCATION",
    L"ARPNOMODIFY",
    L"ARPNOREMOVE",
    L"ARPNOREPAIR",
    L"ARPPRODUCTICON",
    L"ARPREADME",
    L"ARPSIZE",
    L"ARPSYSTEMCOMPONENT",
    L"ARPURLINFOABOUT",
    L"ARPURLUPDATEINFO",
    L"AVAILABLEFREEREG",
    L"CCP_DRIVE",
    L"COMPADDDEFAULT",
    L"COMPADDLOCAL",
    L"COMPADDSOURCE",
    L"COMPANYNAME",
    L"DISABLEADVTSHORTCUTS",
    L"DISABLEMEDIA",
    L"DISABLEROLLBACK",
    L"ENABLEUSERCONTROL",
    L"EXECUTEACTION",
    L"EXECUTEMODE",
    L"FASTOEM",
    L"FILEADDDEFAULT",
    L"FILEADDLOCAL",
    L"FILEADDSOURCE",
    L"INSTALLLEVEL",
    L"LIMITUI",
    L"LOGACTION",
    L"MEDIAPACKAGEPATH",
    L"MSIARPSETTINGSIDENTIFIER",
    L"MSICHECKCRCS",
    L"MSIDEPLOYMENTCOMPLIANT",
    L"MSIDISABLEEEUI",
    L"MSIDISABLELUAPATCHING",
    L"MSIDISABLERMRESTART",
    L"MSIENFORCEUPGRADECOMPONENTRULES",
    L"MSIFASTINSTALL",
    L"MSIINSTALLPERUSER",
    L"MSIINSTANCEGUID",
    L"MSINEWINSTANCE",
    L"MSINODISABLEMEDIA",
    L"MSIPACKAGEDOWNLOADLOCALCOPY",
    L"MSIPATCHDOWNLOADLOCALCOPY",
    L"MSIPATCHREMOVE",
    L"MSIRESTARTMANAGERCONTROL",
    L"MSIRMSHUTDOWN",
    L"MSIUNINSTALLSUPERSEDEDCOMPONENTS",
    L"MSIUSEREALADMINDETECTION",
    L"NOCOMPANYNAME",
    L"NOUSERNAME",
    L"PATCH",
    L"PATCHNEWPACKAGECODE",
    L"PATCHNEWSUMMARYCOMMENTS",
    L"PATCHNEWSUMMARYSUBJECT",
    L"PIDKEY",
    L"PRIMARYFOLDER",
    L"PROMPTROLLBACKCOST",
    L"REBOOT",
    L"REBOOTPROMPT",
    L"REINSTALL",
    L"REINSTALLMODE",
    L"REMOVE",
    L"RESUME",
    L"ROOTDRIVE",
    L"SECONDSEQUENCE",
    L"SEQUENCE",
    L"SHORTFILENAMES",
    L"SOURCELIST",
    L"TARGETDIR",
    L"TRANSFORMS",
    L"TRANSFORMSATSOURCE",
    L"TRANSFORMSSECURE",
    L"UPGRADINGPRODUCTCODE",
    L"USERNAME",
};

bool Before(const wchar_t* a, const std::wstring& b) { return b.compare(a) > 0; }

}  // namespace

bool IsInstallerProperty(const std::wstring& name) {
  const auto end = std::end(kInstallerProperties);
  const auto found = std::lower_bound(std::begin(kInstallerProperties), end, name, Before);
  return found != end && name == *found;
}

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
  // The names of a list, white space removed, excluded names in upper case. A name that is no
  // identifier (with a quote or an "=" in it, say) could end the value and add properties of its
  // own, a transform included; one of the installer's own properties would set that property: it
  // is left out and reported. An empty piece (two commas in a row, a comma at either end) names
  // nothing and is skipped.
  const auto readNames = [&](const wchar_t* key, bool upperCase) {
    std::vector<std::wstring> names;
    for (std::wstring& piece :
         text::SplitText(text::RemoveAll(readKey(key), text::kBlanks), L",")) {
      std::wstring name = upperCase ? text::FoldUpper(piece) : piece;
      if (IsInstallerIdentifier(piece) && !IsInstallerProperty(name)) {
        names.push_back(std::move(name));
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

  const std::vector<std::wstring> include = readNames(L"include", false);
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
  for (const std::wstring& name : readNames(L"exclude", true)) {
    selection += L' ';
    selection += name;
    selection += L'=';
    selection += kExclude;
  }
  return selection;
}

#include "prereq/XmlParserPrerequisite.h"

#include <string>

#include "config/TextUtil.h"
#include "driver/RunState.h"
#include "payload/PayloadExtraction.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/RunTimeBinding.h"
#include "ui/MessageBoxes.h"

namespace {

constexpr wchar_t kParserFile[] = L"\\msxml6.dll";
constexpr wchar_t kRebootSuppressed[] = L"REBOOT=ReallySuppress";
// The system folder with the parser's name appended, terminator included.
constexpr std::size_t kParserPathCapacity = 261;
// The relative package path from the string table.
constexpr int kPackageNameCapacity = 256;

}  // namespace

bool IsXmlParserPresent() {
  wchar_t systemFolder[kParserPathCapacity] = {};
  const UINT length = GetSystemDirectoryW(systemFolder, kParserPathCapacity);
  // Without the system folder the search would look at the root of the current drive: an
  // unreadable system folder means that the parser counts as missing.
  if (length == 0 || length >= kParserPathCapacity) {
    return false;
  }
  std::wstring path(systemFolder);
  if (!text::BoundedAppend(path, kParserFile, kParserPathCapacity)) {
    return false;
  }
  // The process sees its own system folder: on 64-bit Windows this 32-bit program looks at the
  // 32-bit one.
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(path.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool found = false;
  do {
    const std::wstring name = entry.cFileName;
    found = name != L"." && name != L"..";
  } while (!found && FindNextFileW(search, &entry));
  FindClose(search);
  return found;
}

bool IsWow64() {
  // Systems older than Windows XP SP2 lack the function; they are all 32-bit.
  decltype(&::IsWow64Process) isWow64Process = nullptr;
  if (!BindProc(GetModuleHandleW(L"kernel32"), "IsWow64Process", isWow64Process)) {
    return false;
  }
  BOOL wow64 = FALSE;
  if (!isWow64Process(GetCurrentProcess(), &wow64)) {
    return false;
  }
  return wow64 != FALSE;
}

bool IsWindows64Bit() {
#ifdef _WIN64
  // A 64-bit process runs only on 64-bit Windows; IsWow64Process answers FALSE for it.
  return true;
#else
  return IsWow64();
#endif
}

unsigned long InstallXmlParserPrerequisite(RunState& state) {
  if (state.mode != CommandLineResult::Normal || IsXmlParserPresent()) {
    return ERROR_SUCCESS;
  }
  const MsiBindings& msi = state.msi;
  // A run without the installer's UI keeps the level NONE that was set before.
  if (state.installerUiLevel != kUiLevelNone) {
    LogString(L"[Info] Setting Internal UI level to BASIC...\n");
    msi.MsiSetInternalUI(INSTALLUILEVEL_BASIC, nullptr);
  }

  // The package for the platform's bitness: a 32-bit process under WOW64 still needs the 64-bit
  // parser package, which also brings the 32-bit parser.
  const bool windows64 = IsWindows64Bit();
  wchar_t packageName[kPackageNameCapacity];
  LoadMessage(state.instance, windows64 ? IDS_MSXML_X64_PATH : IDS_MSXML_X86_PATH, packageName,
              kPackageNameCapacity);
  const WORD payload = windows64 ? IDP_MSXML_X64 : IDP_MSXML_X86;
  LogString(L"[Resource] Installing Prerequisite = %s\n", packageName);

  // Known to clean-up from here on, which deletes the package and its folders also when the
  // installation fails.
  state.prereqPackagePath = state.workFolder.path() + packageName;
  LogString(L"[Info] path to Prereq: %s\n", state.prereqPackagePath.c_str());
  if (!ExtractFileFromResource(payload, state.instance, state.appTitle.c_str(), L"",
                               state.prereqPackagePath.c_str(), &state.prereqPackageHold)) {
    return ERROR_FILE_NOT_FOUND;
  }

  const UINT result = msi.MsiInstallProductW(state.prereqPackagePath.c_str(), kRebootSuppressed);
  if (result != ERROR_SUCCESS) {
    // A restart request ends the run here too, before the product, without a box.
    ShowInstallerErrorMessage(state.Messages(), result, msi.module);
    return result;
  }
  LogNumber(L"[Info] MsiInstallProduct returned %d\n", result);
  return ERROR_SUCCESS;
}

#include "prereq/RuntimePrerequisite.h"

#include <iterator>
#include <new>

#include "payload/FileUtilities.h"
#include "payload/HeldFile.h"
#include "payload/PayloadExtraction.h"
#include "prereq/RuntimeCommandLine.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "ui/MessageBoxes.h"

namespace {

// The rows of the string table that describe the redistributable are read into this many
// characters each.
constexpr int kRowCapacity = 256;
// An exit code with which the redistributable reports that the runtime is already in place.
constexpr DWORD kAlreadyInstalledStatus = 0xC00000BA;

struct RuntimeRows {
  wchar_t fileName[kRowCapacity];
  wchar_t arguments[kRowCapacity];
  wchar_t key[kRowCapacity];
  wchar_t valueName[kRowCapacity];
  wchar_t version[kRowCapacity];
};

void LoadRows(HINSTANCE instance, RuntimeRows& rows) {
  LoadMessage(instance, IDS_VC9_FILE, rows.fileName, kRowCapacity);
  LoadMessage(instance, IDS_VC9_ARGUMENTS, rows.arguments, kRowCapacity);
  LoadMessage(instance, IDS_VC9_KEY, rows.key, kRowCapacity);
  LoadMessage(instance, IDS_VC9_VALUE, rows.valueName, kRowCapacity);
  LoadMessage(instance, IDS_VC9_VERSION, rows.version, kRowCapacity);
}

// What the redistributable's exit code means for the run; the user is told where there is
// something to tell.
DWORD InterpretExitCode(DWORD code, const MessageContext& messages, bool quiet) {
  if (code == ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  LogNumber(L"[Error] Process failed (%lu).\n", code);
  if (code == kAlreadyInstalledStatus) {
    return ERROR_SUCCESS;
  }
  if (code == ERROR_SUCCESS_REBOOT_REQUIRED || code == ERROR_SUCCESS_RESTART_REQUIRED) {
    // A quiet run keeps the code and reports it at the end instead.
    if (!quiet) {
      ShowFormattedMessage(messages, IDS_CRT_REBOOT, L"", MB_OK | MB_ICONINFORMATION);
    }
    return code;
  }
  ShowNumberMessage(messages, IDS_CREATE_PROCESS_FAILED, static_cast<std::int32_t>(code));
  return code;
}

}  // namespace

DWORD InstallRuntimePrerequisite(const wchar_t* caption, ProgressDialog& dialog,
                                 const wchar_t* tempFolder, bool quiet) {
  const MessageContext messages{dialog.instance, dialog.window, caption};
  RuntimeRows rows;
  LoadRows(dialog.instance, rows);
  LogString(L"[Info] Checking CRT (%s) key\n", rows.fileName);
  if (IsRuntimeInstalled(rows.key, rows.valueName, rows.version)) {
    LogString(L"[Info] CRT (%s)appears to be installed\n", rows.fileName);
    return ERROR_SUCCESS;
  }

  std::wstring path;
  if (!runtime::ComposeRedistributablePath(tempFolder != nullptr ? tempFolder : L"", rows.fileName,
                                           path)) {
    LogString(L"[Error] Out of memory! appending application to path.\n");
    ShowTextMessage(messages, IDS_OUT_OF_MEMORY, nullptr);
    return ERROR_OUTOFMEMORY;
  }
  std::wstring commandLine;
  if (!runtime::ComposeRedistributableCommandLine(path, rows.arguments, commandLine)) {
    LogString(L"[Error] Out of memory! generating command line.\n");
    ShowTextMessage(messages, IDS_OUT_OF_MEMORY, nullptr);
    return ERROR_OUTOFMEMORY;
  }

  // The redistributable is only needed while it runs, held so that what runs is what was
  // written; it goes again however the step ends. A file that cannot be deleted is left.
  TemporaryFile redistributable(path);
  if (!ExtractFileFromResource(IDP_RUNTIME, dialog.instance, caption, L"", path.c_str(),
                               &redistributable.hold())) {
    LogNumber(L"[Error] Unable to find resource (%d).\n", IDP_RUNTIME);
    return ERROR_INVALID_DATA;
  }
  const DWORD result = InterpretExitCode(RunHidden(commandLine.data()), messages, quiet);
  redistributable.Remove();
  LogString(L"[Info] CRT (%s) installation complete\n", rows.fileName);
  return result;
}

bool IsRuntimeInstalled(const wchar_t* key, const wchar_t* valueName, const wchar_t*) {
  // Any version counts: the entry only exists once some 2008 SP1 runtime of this kind is in place.
  // A value that cannot even be held in memory counts as missing, like any unreadable one.
  try {
    return !getRegistryValue(key, valueName).empty();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::wstring getRegistryValue(const std::wstring& key, const std::wstring& valueName, REGSAM view) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &opened) !=
      ERROR_SUCCESS) {
    LogString(L"[Info] getRegistryValue exception, unable to open key,name: %s,%s\n", key.c_str(),
              valueName.c_str());
    return {};
  }
  constexpr DWORD kBufferBytes = 1024;
  wchar_t buffer[kBufferBytes / sizeof(wchar_t)] = {};
  DWORD type = 0;
  DWORD size = kBufferBytes;
  const LONG result = RegQueryValueExW(opened, valueName.c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(opened);
  if (result == ERROR_MORE_DATA) {
    LogString(L"[Info] getRegistryValue exception, insufficient buffer\n");
    return {};
  }
  if (result != ERROR_SUCCESS) {
    LogString(L"[Info] getRegistryValue exception, unable to recover value\n");
    return {};
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    return {};
  }
  // The text up to its first NUL; a value stored without one ends with the data.
  const std::size_t units = size / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < units && length < std::size(buffer) && buffer[length] != L'\0') {
    ++length;
  }
  return std::wstring(buffer, length);
}

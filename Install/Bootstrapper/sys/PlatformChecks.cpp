#include "sys/PlatformChecks.h"

#include "sys/RunTimeBinding.h"

namespace {

constexpr wchar_t kAdvapiLibrary[] = L"advapi32.dll";
constexpr wchar_t kShutdownPrivilege[] = L"SeShutdownPrivilege";
// Windows XP with Service Pack 3.
constexpr DWORD kMinimumMajor = 5;
constexpr DWORD kMinimumMinor = 1;
constexpr WORD kMinimumServicePack = 3;

CheckTokenMembershipFunction BindCheckTokenMembership(HMODULE advapi32) {
  CheckTokenMembershipFunction function = nullptr;
  BindProc(advapi32, "CheckTokenMembership", function);
  return function;
}

// A SID from AllocateAndInitializeSid.
using SidHandle = SystemOwned<PSID, &FreeSid>;
// A kernel handle whose "no handle" value is null.
using KernelHandle = SystemOwned<HANDLE, &CloseHandle>;

}  // namespace

PlatformCallTable& PlatformCalls() {
  static PlatformCallTable table{&BindCheckTokenMembership};
  return table;
}

bool IsOSSupported() {
  OSVERSIONINFOW version;
  ZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  // A failed read leaves the major version 0, which is refused below.
  GetVersionExW(&version);
  if (version.dwMajorVersion < kMinimumMajor) {
    return false;
  }
  return MeetsMinimumWindowsVersion();
}

bool MeetsMinimumWindowsVersion() {
  OSVERSIONINFOEXW minimum;
  ZeroMemory(&minimum, sizeof(minimum));
  minimum.dwOSVersionInfoSize = sizeof(minimum);
  minimum.dwMajorVersion = kMinimumMajor;
  minimum.dwMinorVersion = kMinimumMinor;
  minimum.wServicePackMajor = kMinimumServicePack;
  // With these three conditions the system compares hierarchically: 5.1 needs Service Pack 3,
  // any later major or minor version passes whatever its service pack.
  ULONGLONG conditions = 0;
  conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&minimum, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            conditions) != FALSE;
}

bool IsUserAdmin() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  SidHandle administrators;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, administrators.put())) {
    return false;
  }
  // CheckTokenMembership is missing on some older systems; without it nobody counts as a member.
  ModuleHandle advapi32(LoadSystemLibrary(kAdvapiLibrary));
  if (!advapi32) {
    return false;
  }
  const CheckTokenMembershipFunction checkTokenMembership =
      PlatformCalls().bindCheckTokenMembership(advapi32.get());
  if (checkTokenMembership == nullptr) {
    return false;
  }
  // A null token is the caller's own effective token: under UAC only an elevated one passes.
  BOOL member = FALSE;
  if (!checkTokenMembership(nullptr, administrators.get(), &member)) {
    return false;
  }
  return member != FALSE;
}

bool EnableShutdownPrivilege() {
  struct AdvapiTable {
    decltype(&::OpenProcessToken) openProcessToken = nullptr;
    decltype(&::LookupPrivilegeValueW) lookupPrivilegeValue = nullptr;
    decltype(&::AdjustTokenPrivileges) adjustTokenPrivileges = nullptr;
  } advapi;
  ModuleHandle advapi32(LoadSystemLibrary(kAdvapiLibrary));
  if (!BindProc(advapi32.get(), "OpenProcessToken", advapi.openProcessToken) ||
      !BindProc(advapi32.get(), "LookupPrivilegeValueW", advapi.lookupPrivilegeValue) ||
      !BindProc(advapi32.get(), "AdjustTokenPrivileges", advapi.adjustTokenPrivileges)) {
    return false;
  }

  KernelHandle token;
  if (!advapi.openProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               token.put())) {
    return false;
  }
  TOKEN_PRIVILEGES privileges;
  ZeroMemory(&privileges, sizeof(privileges));
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Without the privilege's identifier there is nothing meaningful to enable.
  if (!advapi.lookupPrivilegeValue(nullptr, kShutdownPrivilege, &privileges.Privileges[0].Luid)) {
    return false;
  }
  // A token that lacks the privilege is reported as ERROR_NOT_ALL_ASSIGNED by a call that still
  // succeeds, so only the last error tells whether the privilege is now enabled. It is cleared
  // first so that an earlier error cannot be mistaken for this call's.
  SetLastError(ERROR_SUCCESS);
  advapi.adjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  return GetLastError() == ERROR_SUCCESS;
}

bool IsInteractiveWindowStation() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  // The station's handle belongs to the process and is not closed.
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

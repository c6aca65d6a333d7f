// Questions the run asks the operating system: is this Windows supported, is the user an
// administrator, may the process shut the machine down. Each answers yes or no; a function the
// system lacks gives no.
#pragma once

#include "sys/Win32.h"

// Windows XP with Service Pack 3 or later.
bool IsOSSupported();
// The documented version test for 5.1 with Service Pack 3 or later.
bool MeetsMinimumWindowsVersion();
// Member of the local Administrators group with the token in effect (elevated under UAC).
bool IsUserAdmin();
// Enables SeShutdownPrivilege for this process; true when it is now enabled.
bool EnableShutdownPrivilege();
// Whether the process's window station is the one a user sees. A service's is not (deployment
// systems run setup.exe as one), and a box shown there waits for an answer nobody can give. When
// the question cannot be answered the station counts as seen, as it usually is.
bool IsInteractiveWindowStation();

// The membership question goes through this table: Wine runs every user as an administrator, so
// only a replaced entry can give the answer "not a member". The entry binds CheckTokenMembership
// from the advapi32.dll it is given (null when the system lacks it).
using CheckTokenMembershipFunction = decltype(&::CheckTokenMembership);
struct PlatformCallTable {
  CheckTokenMembershipFunction (*bindCheckTokenMembership)(HMODULE advapi32);
};

// The table in use; tests replace entries and put them back.
PlatformCallTable& PlatformCalls();

// Questions the run asks the operating system: is this Windows supported, is the user an
// administrator, may the process shut the machine down. Each answers yes or no; a function the
// system lacks gives no.
#pragma once

// Windows XP with Service Pack 3 or later.
bool IsOSSupported();
// The documented version test for 5.1 with Service Pack 3 or later.
bool MeetsMinimumWindowsVersion();
// Member of the local Administrators group with the token in effect (elevated under UAC).
bool IsUserAdmin();
// Enables SeShutdownPrivilege for this process; true when it is now enabled.
bool EnableShutdownPrivilege();

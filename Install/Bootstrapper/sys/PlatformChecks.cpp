#include "sys/PlatformChecks.h"

// Placeholders until the checks exist: a supported Windows and an administrator.
bool IsOSSupported() {
  return true;
}

bool MeetsMinimumWindowsVersion() {
  return true;
}

bool IsUserAdmin() {
  return true;
}

bool EnableShutdownPrivilege() {
  return false;
}

#include "prereq/InstallerUpgrade.h"

#include "driver/RunState.h"

// Placeholders until the engine step exists: the engine is recent enough.
bool NeedsInstallerUpgrade(std::uint32_t) {
  return false;
}

DWORD PerformInstallerUpgradeStep(RunState&) {
  return ERROR_SUCCESS;
}

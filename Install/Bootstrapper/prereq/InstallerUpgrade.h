// Upgrading the Windows Installer engine when it is older than the product's minimum, after
// asking, from the update package in the executable or one downloaded from UPDATELOCATION.
#pragma once

#include <cstdint>

#include "sys/Win32.h"

struct RunState;

// True when the engine in the system folder is older than `minimum` (major * 100 + minor), or
// when its version cannot be learned.
bool NeedsInstallerUpgrade(std::uint32_t minimum);

// The engine step of the run: 0 to go on, 3010 to go on with a restart pending, anything else
// ends the run with that result (already reported).
DWORD PerformInstallerUpgradeStep(RunState& state);

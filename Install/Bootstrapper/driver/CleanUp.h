// The one exit path of every run: copy the logs, remove what the run extracted, release
// everything, log the exit code and offer the restart that an engine upgrade asked for.
#pragma once

#include "sys/PlatformChecks.h"
#include "sys/Win32.h"

struct RunState;

// Returns the exit code of the run, unchanged.
DWORD CleanUp(RunState& state);

// The two calls behind a Yes to the restart question. A test cannot let them happen for real
// (the machine would restart), so they go through this table; tests replace the entries and
// put them back.
struct RestartCallTable {
  decltype(&::EnableShutdownPrivilege) enableShutdownPrivilege = &::EnableShutdownPrivilege;
  decltype(&::ExitWindowsEx) exitWindowsEx = &::ExitWindowsEx;
};

// The table in use.
RestartCallTable& RestartCalls();

// The reason given for the restart: planned, with the clean UI flag, for the installation of an
// application.
inline constexpr DWORD kRestartReason = SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_FLAG_CLEAN_UI |
                                        SHTDN_REASON_MAJOR_APPLICATION |
                                        SHTDN_REASON_MINOR_INSTALLATION;

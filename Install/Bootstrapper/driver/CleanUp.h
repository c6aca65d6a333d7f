// The one exit path of every run: copy the logs, remove what the run extracted, release
// everything, log the exit code and offer the restart that an engine upgrade asked for.
#pragma once

#include "sys/Win32.h"

struct RunState;

// Returns the exit code of the run, unchanged.
DWORD CleanUp(RunState& state);

// The run from entry to exit code: every step in its fixed order on the one GUI thread, each
// failure setting the exit code and going straight to clean-up.
#pragma once

#include "sys/Win32.h"

struct RunState;

// The body of the entry point: returns the process exit code.
DWORD RunSetup(HINSTANCE instance, const wchar_t* commandLine);

// Turns away a user who is not an administrator: the box of string 60 at every UI level and
// exit code 1603. True to go on.
bool RequireAdministrator(RunState& state);

// Makes the run's own working folder unless it is there already. When it cannot be made the user
// is told (string 23 with the folder) and the run ends with `failureCode`; false then.
bool PrepareWorkFolder(RunState& state, DWORD failureCode);

// The package taken from the executable itself: written to the run's working folder, with the
// distributor's replacement files beside the executable copied over it. 0 to go on, else the
// exit code. `baseUrlLookupCode` is the result of looking for BASEURL, which is also the code of
// an unusable temporary folder.
DWORD ResolvePackageFromMedia(RunState& state, DWORD baseUrlLookupCode);

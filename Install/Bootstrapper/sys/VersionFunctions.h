// The file version functions of version.dll, bound at run time from the system folder: the
// library is no known DLL on Windows XP, so a load-time import would be looked for beside the
// executable first, where anyone who can write to a Downloads folder can put a file of that name.
#pragma once

#include "sys/Win32.h"

struct VersionFunctionTable {
  decltype(&::GetFileVersionInfoSizeW) getFileVersionInfoSize = nullptr;
  decltype(&::GetFileVersionInfoW) getFileVersionInfo = nullptr;
  decltype(&::VerQueryValueW) verQueryValue = nullptr;
};

// Bound on first use; an entry is null when the library or function is missing. The library
// stays loaded for the rest of the process, like the load-time import it replaces.
const VersionFunctionTable& VersionFunctions();

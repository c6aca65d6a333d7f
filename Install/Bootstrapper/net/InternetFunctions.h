// The URL moniker and WinINet functions of the download, bound at run time from the system
// folder. Imported at load time, urlmon.dll and wininet.dll would be looked for beside the
// executable first on systems that do not count them among their known libraries, so a file of
// that name in a Downloads folder would run inside an elevated setup.
#pragma once

#include <urlmon.h>
#include <wininet.h>

#include "sys/Win32.h"

struct InternetFunctionTable {
  decltype(&::URLOpenBlockingStreamW) urlOpenBlockingStream = nullptr;
  decltype(&::InternetCanonicalizeUrlW) internetCanonicalizeUrl = nullptr;
  decltype(&::DeleteUrlCacheEntryW) deleteUrlCacheEntry = nullptr;
};

// Bound on first use; an entry is null when its library or function is missing. The libraries
// stay loaded for the rest of the process, like the load-time imports they replace.
const InternetFunctionTable& InternetFunctions();

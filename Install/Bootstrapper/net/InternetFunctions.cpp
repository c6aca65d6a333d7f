#include "net/InternetFunctions.h"

#include "sys/RunTimeBinding.h"

const InternetFunctionTable& InternetFunctions() {
  static const InternetFunctionTable table = [] {
    InternetFunctionTable bound;
    // Deliberately never freed: the table is used until the process ends.
    HMODULE urlmon = LoadSystemLibrary(L"urlmon.dll");
    HMODULE wininet = LoadSystemLibrary(L"wininet.dll");
    BindProc(urlmon, "URLOpenBlockingStreamW", bound.urlOpenBlockingStream);
    BindProc(wininet, "InternetCanonicalizeUrlW", bound.internetCanonicalizeUrl);
    BindProc(wininet, "DeleteUrlCacheEntryW", bound.deleteUrlCacheEntry);
    return bound;
  }();
  return table;
}

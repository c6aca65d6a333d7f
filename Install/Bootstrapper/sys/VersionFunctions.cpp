#include "sys/VersionFunctions.h"

#include "sys/RunTimeBinding.h"

const VersionFunctionTable& VersionFunctions() {
  static const VersionFunctionTable table = [] {
    VersionFunctionTable bound;
    // Deliberately never freed: the table is used until the process ends.
    HMODULE version = LoadSystemLibrary(L"version.dll");
    BindProc(version, "GetFileVersionInfoSizeW", bound.getFileVersionInfoSize);
    BindProc(version, "GetFileVersionInfoW", bound.getFileVersionInfo);
    BindProc(version, "VerQueryValueW", bound.verQueryValue);
    return bound;
  }();
  return table;
}

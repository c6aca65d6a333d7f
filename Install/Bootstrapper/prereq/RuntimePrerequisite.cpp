#include "prereq/RuntimePrerequisite.h"

// Placeholders until the runtime step exists: the runtime counts as present.
DWORD InstallRuntimePrerequisite(const wchar_t*, ProgressDialog&, const wchar_t*, bool) {
  return ERROR_SUCCESS;
}

bool IsRuntimeInstalled(const wchar_t*, const wchar_t*, const wchar_t*) {
  return true;
}

std::wstring getRegistryValue(const std::wstring&, const std::wstring&) {
  return {};
}

#include "config/ResourceSettings.h"

// Placeholder until the settings reader exists: every setting reads as absent, so the run uses
// the defaults.
DWORD ReadResourceSetting(HMODULE, const wchar_t*, wchar_t*, DWORD&) {
  return ERROR_RESOURCE_NAME_NOT_FOUND;
}

DWORD LoadResourceSetting(HMODULE, const wchar_t*, SettingBuffer&) {
  return ERROR_RESOURCE_NAME_NOT_FOUND;
}

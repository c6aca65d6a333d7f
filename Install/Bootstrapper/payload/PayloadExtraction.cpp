#include "payload/PayloadExtraction.h"

// Placeholder until payload extraction exists: nothing is written.
bool ExtractFileFromResource(WORD, HINSTANCE, const wchar_t*, const wchar_t*, const wchar_t*) {
  return false;
}

bool CheckDiskSpace(const wchar_t*, std::uint32_t, HINSTANCE, const wchar_t*) {
  return true;
}

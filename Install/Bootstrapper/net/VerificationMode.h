// The verification mode of the executable: `setup.exe /v "file"` checks the named file's
// signature and ends with 0 (trusted), 0x800B0001 (signatures cannot be verified on this system)
// or 0x800B0004 (not trusted). A first instance starts it to verify a downloaded update; it shows
// nothing, takes no mutex and leaves the first instance's log alone.
#pragma once

#include <string>

// Checks `file` and returns the exit code of the verification mode.
unsigned long RunVerificationMode(const std::wstring& file);

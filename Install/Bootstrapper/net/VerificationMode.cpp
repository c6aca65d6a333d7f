#include "net/VerificationMode.h"

// Placeholder until the verification mode exists.
unsigned long RunVerificationMode(const std::wstring&) {
  return 0x800B0004ul;
}

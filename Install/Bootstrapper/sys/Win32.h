// The one way the program includes <windows.h>.
//
// The program targets Windows XP SP3, so only what that system exports may be linked at load
// time; anything newer is bound at run time. Two of the program's own operations are called
// DeleteFile and RemoveDirectory, which <windows.h> defines as macros; those macros are removed
// here, and the program always names the system functions with their W suffix.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#ifndef WINVER
#define WINVER 0x0501
#endif

#include <windows.h>

#undef DeleteFile
#undef RemoveDirectory

// A failure code that is never 0, even when the failing call left no error behind.
inline DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

// Owner of what the system handed out through an output parameter (a handle, a SID, memory),
// given back with `Release` exactly once; null owns nothing. Call(..., owned.put()).
template <typename T, auto Release>
class SystemOwned {
 public:
  SystemOwned() = default;
  ~SystemOwned() {
    if (value_ != nullptr) {
      Release(value_);
    }
  }
  SystemOwned(const SystemOwned&) = delete;
  SystemOwned& operator=(const SystemOwned&) = delete;
  T* put() { return &value_; }
  T get() const { return value_; }

 private:
  T value_ = nullptr;
};

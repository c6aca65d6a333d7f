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

// The value that owns nothing: null for most of what the system hands out.
template <typename T>
struct NullIsEmpty {
  static T Empty() { return nullptr; }
};
// A file's handle, where CreateFileW answers INVALID_HANDLE_VALUE, not null.
struct InvalidHandleIsEmpty {
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
};

// Owner of what the system handed out (a handle, a module, a SID, memory), given back with
// `Release` exactly once; `Empty::Empty()` owns nothing. Given to the owner when made, or filled
// in through an output parameter: Call(..., owned.put()).
template <typename T, auto Release, typename Empty = NullIsEmpty<T>>
class SystemOwned {
 public:
  SystemOwned() = default;
  explicit SystemOwned(T value) : value_(value) {}
  ~SystemOwned() { reset(); }
  SystemOwned(const SystemOwned&) = delete;
  SystemOwned& operator=(const SystemOwned&) = delete;
  SystemOwned(SystemOwned&& other) noexcept : value_(other.release()) {}
  SystemOwned& operator=(SystemOwned&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }

  T* put() {
    reset();
    return &value_;
  }
  T get() const { return value_; }
  explicit operator bool() const { return value_ != Empty::Empty(); }
  T release() {
    const T value = value_;
    value_ = Empty::Empty();
    return value;
  }
  void reset(T value = Empty::Empty()) {
    if (value_ != Empty::Empty()) {
      Release(value_);
    }
    value_ = value;
  }

 private:
  T value_ = Empty::Empty();
};

// A file's or a folder's handle, closed exactly once.
using FileHandle = SystemOwned<HANDLE, &CloseHandle, InvalidHandleIsEmpty>;

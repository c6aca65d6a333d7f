// A SHA-256 digest of bytes, made by the system's cryptographic provider. It stands for bytes
// that the run no longer has when it confirms a file: what it received from a transfer and wrote,
// compared with what the file holds once it is held.
#pragma once

#include <array>

#include "sys/Win32.h"
// After <windows.h>, which it needs.
#include <wincrypt.h>

class ContentDigest {
 public:
  using Value = std::array<unsigned char, 32>;

  ContentDigest() = default;
  ~ContentDigest() { Release(); }
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  // Starts a new digest. 0, or the Windows error when the provider cannot make one.
  DWORD Begin();
  // Adds `size` bytes. 0, or the Windows error.
  DWORD Add(const void* bytes, DWORD size);
  // The digest of everything added since Begin. 0, or the Windows error. Nothing can be added
  // afterwards.
  DWORD Finish(Value& value);

 private:
  void Release();

  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
};

// Helpers shared by the Windows unit tests: scratch folders on the real file system of the
// prefix, and the paths of what the build made.
#pragma once

#include <string>

#include "sys/Win32.h"

namespace testing_support {

// A fresh, empty folder below the temporary folder, removed with everything in it on
// destruction. Its path ends in a backslash.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// Removes a file or a folder tree, read-only or not.
void RemoveTree(const std::wstring& path);

// Writes `bytes` to `path`, replacing it.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool Exists(const std::wstring& path);

// The Windows build tree (setup.exe and its variants), from BOOTSTRAPPER_WIN_BUILD.
std::wstring WindowsBuildFolder();

}  // namespace testing_support

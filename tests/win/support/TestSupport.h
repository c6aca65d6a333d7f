// Helpers shared by the Windows unit tests: scratch folders on the real file system of the
// prefix, and the paths of what the build made.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The registry view where 32-bit products and the 32-bit runtime register, which the program
// reads on 64-bit Windows; the 64-bit build must name it.
#ifdef _WIN64
constexpr REGSAM kProductView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kProductView = 0;
#endif
// Deletes a key without subkeys under HKEY_LOCAL_MACHINE in that view, or in `view`.
void DeleteProductKey(const wchar_t* key, REGSAM view = kProductView);

// True when the user's URL cache holds an entry for `url`.
bool InUrlCache(const std::wstring& url);

// Removes a file or a folder tree, read-only or not.
void RemoveTree(const std::wstring& path);

// Writes `bytes` to `path`, replacing it.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// A row of this program's string table, whole, as stored; empty when there is none.
std::wstring Row(UINT id);
// That row with its "%1" replaced by `insert`.
std::wstring WithInsert(UINT id, const std::wstring& insert);
// An ASCII text as the 8-bit text that bootstrap.log holds.
std::string Narrow(const std::wstring& text);

// Points the temporary folder (TMP and TEMP) at a scratch folder for the whole program, so that
// bootstrap.log and whatever the code under test puts in the temporary folder stay in it. The log
// is started there at once, since it keeps the folder of its first line.
class ScratchTempEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  static const std::wstring& path();
};

// The lines bootstrap.log gained since this object was made, without their line ends.
class LogTail {
 public:
  LogTail();
  std::vector<std::string> lines() const;
  // The same lines, each with its line end, as the file holds them.
  std::string text() const;

 private:
  std::size_t start_ = 0;
};

// The folder of the running test program, ending in a backslash.
std::wstring ProgramFolder();

// The Windows build tree (setup.exe and its variants), from BOOTSTRAPPER_WIN_BUILD.
std::wstring WindowsBuildFolder();

}  // namespace testing_support

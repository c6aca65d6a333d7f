// Files that the elevated run writes or downloads and then runs, installs or verifies. Between
// the moment such a file is complete and the moment its consumer has finished with it, any
// process of the same user could otherwise replace it; holding it open closes that gap.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "sys/Win32.h"

// A hold on a file: this process reads it, and while the hold lasts nobody may write, rename or
// delete it. Readers that share reading (the Windows Installer, CreateProcessW, WinVerifyTrust)
// still open it by its path, and the path cannot come to name another file.
class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile() { Release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  HeldFile(HeldFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  HeldFile& operator=(HeldFile&& other) noexcept;

  // Takes the hold on `path`, letting go of any earlier one. 0, or the Windows error of the open:
  // 32 when another process has the file open for writing or deleting.
  DWORD Take(const wchar_t* path);

  // True when the held file consists of exactly the `size` bytes at `bytes`. Read through the
  // hold, so that what is compared is what the consumer will read.
  bool Contains(const void* bytes, std::uint32_t size) const;

  bool IsHeld() const { return handle_ != INVALID_HANDLE_VALUE; }
  // The held handle, for readers that can take one: they read the held bytes, not whatever the
  // path names. Null when nothing is held.
  HANDLE handle() const { return IsHeld() ? handle_ : nullptr; }
  void Release();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A file that a step writes into the temporary folder and removes again however the step ends,
// an allocation failure included: on Remove, or when the owner goes, the hold is let go and the
// file deleted. The hold must go first: it keeps deleting out, the run's own deletion included.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  explicit TemporaryFile(std::wstring path) : path_(std::move(path)) {}
  ~TemporaryFile() { Remove(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Names the file to remove from now on; a file named before is removed first.
  void Reset(std::wstring path);
  const std::wstring& path() const { return path_; }
  HeldFile& hold() { return hold_; }

  // Lets go of the hold and deletes the file; a failed deletion is left alone.
  void Remove();

 private:
  std::wstring path_;
  HeldFile hold_;
};

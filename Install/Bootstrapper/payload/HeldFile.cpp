#include "payload/HeldFile.h"

#include <cstring>

namespace {

// The content is compared in pieces of this size, on the stack: no allocation, so a confirmation
// never fails for lack of memory.
constexpr DWORD kChunkBytes = 16 * 1024;

}  // namespace

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  return *this;
}

DWORD HeldFile::Take(const wchar_t* path) {
  Release();
  // Reading only, and others may only read: an open for writing or deleting, and so a rename or
  // a replacement, fails while this handle lives; one that is open already makes this open fail.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastErrorOr(ERROR_SHARING_VIOLATION);
  }
  handle_ = file;
  return ERROR_SUCCESS;
}

bool HeldFile::Contains(const void* bytes, std::uint32_t size) const {
  if (!IsHeld()) {
    return false;
  }
  // A size that cannot be read answers INVALID_FILE_SIZE, which no payload has.
  DWORD high = 0;
  if (GetFileSize(handle_, &high) != size || high != 0) {
    return false;
  }
  if (SetFilePointer(handle_, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return false;
  }
  const unsigned char* expected = static_cast<const unsigned char*>(bytes);
  unsigned char chunk[kChunkBytes];
  for (std::uint32_t offset = 0; offset < size;) {
    const DWORD wanted = size - offset < kChunkBytes ? size - offset : kChunkBytes;
    DWORD read = 0;
    if (!ReadFile(handle_, chunk, wanted, &read, nullptr) || read != wanted ||
        std::memcmp(chunk, expected + offset, wanted) != 0) {
      return false;
    }
    offset += wanted;
  }
  return true;
}

void HeldFile::Release() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
}

void TemporaryFile::Reset(std::wstring path) {
  Remove();
  path_ = std::move(path);
}

void TemporaryFile::Remove() {
  hold_.Release();
  if (!path_.empty()) {
    DeleteFileW(path_.c_str());
    path_.clear();
  }
}

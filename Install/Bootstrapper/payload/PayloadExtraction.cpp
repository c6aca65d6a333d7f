#include "payload/PayloadExtraction.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "config/TextUtil.h"
#include "payload/ContentDigest.h"
#include "payload/FileUtilities.h"
#include "payload/HeldFile.h"
#include "payload/SystemCalls.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "ui/MessageBoxes.h"
#include "ui/MessageTable.h"

namespace {

constexpr wchar_t kPayloadType[] = L"EXE";
constexpr std::uint64_t kFourGiB = 0x100000000ull;
// A piece of a file is confirmed in chunks of this size, and written in chunks of twice this
// size, through one buffer. Larger chunks cost fewer calls, smaller ones less memory: 512 KiB at
// most, whatever the file's size.
constexpr DWORD kPieceChunkBytes = 256 * 1024;

// The executable file that payloads are read from, or null for the mapped image.
HANDLE g_imageFile = nullptr;

// A box whose text is a message with the file name put right after it (the messages end in
// spaces for that). These boxes have no owner.
void ShowNameMessage(HINSTANCE instance, const wchar_t* caption, UINT messageId,
                     const std::wstring& name) {
  const std::wstring text = LoadTableText(instance, messageId) + name;
  ShowMessageBox(nullptr, text.c_str(), caption, MB_ICONERROR);
}

MessageContext Unowned(HINSTANCE instance, const wchar_t* caption) {
  return MessageContext{instance, nullptr, caption};
}

// Hands a file that was just written over from its writer to `hold`, so that at no moment can
// the file be renamed, replaced or deleted: a reader that lets others write (but not delete) is
// opened while the writer still lives, the writer goes, and the hold, which lets others only
// read, is taken before that reader goes. In the instant between the writer and the hold another
// process could still open the file for writing; then the hold cannot be taken (its writer is
// still open), or the caller finds the content changed. 0, or the error that makes the file
// count as not written.
DWORD HandOverToHold(HANDLE writer, const std::wstring& path, HeldFile& hold) {
  HANDLE bridge = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD bridgeError = bridge == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  PayloadSystemCalls().closeWriter(writer);
  if (bridge == INVALID_HANDLE_VALUE) {
    return bridgeError != ERROR_SUCCESS ? bridgeError : ERROR_SHARING_VIOLATION;
  }
  const DWORD taken = hold.Take(path.c_str());
  CloseHandle(bridge);
  return taken;
}

// The size of an open file; false when it cannot be read.
bool FileSize(HANDLE file, std::uint64_t& size) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    return false;
  }
  size = (static_cast<std::uint64_t>(high) << 32) | low;
  return true;
}

// Where the `size` bytes at `bytes`, inside `module`'s mapped image, lie in its file; false
// when no section's file data holds them all.
bool ImageFileOffset(HMODULE module, const void* bytes, DWORD size, std::uint64_t& offset) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto* at = static_cast<const unsigned char*>(bytes);
  if (at < base) {
    return false;
  }
  const auto rva = static_cast<std::uint64_t>(at - base);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    const std::uint64_t start = section->VirtualAddress;
    if (rva >= start && rva + size <= start + section->SizeOfRawData) {
      offset = section->PointerToRawData + (rva - start);
      return true;
    }
  }
  return false;
}

// Reads `size` bytes of `file` at `offset`, whatever its file pointer. 0, or the Windows error.
DWORD ReadAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!ReadFile(file, buffer, size, &read, &at)) {
    return GetLastError();
  }
  return read == size ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

// Bytes of a file (a payload's place in the executable, or a whole held file), and room to move
// them in chunks.
struct FilePiece {
  HANDLE file = nullptr;
  std::uint64_t offset = 0;
  DWORD size = 0;
  std::unique_ptr<unsigned char[]> buffer;  // two chunks: the piece's, and the copy's
  DWORD chunk = 0;                          // when confirming; twice that when writing
};

// The `size` bytes of `file` at `offset`; false when the room cannot be had.
bool MakePiece(HANDLE file, std::uint64_t offset, DWORD size, FilePiece& piece) {
  piece.file = file;
  piece.offset = offset;
  piece.size = size;
  piece.chunk = std::max<DWORD>(std::min(size, kPieceChunkBytes), 1);
  piece.buffer.reset(new (std::nothrow) unsigned char[2 * static_cast<std::size_t>(piece.chunk)]);
  return piece.buffer != nullptr;
}

// The payload at `bytes` as a piece of the executable file, when the run has named that file
// and the room can be had; otherwise the mapped image serves.
bool FindImagePiece(HMODULE module, const void* bytes, DWORD size, FilePiece& piece) {
  std::uint64_t offset = 0;
  return g_imageFile != nullptr && size != 0 && ImageFileOffset(module, bytes, size, offset) &&
         MakePiece(g_imageFile, offset, size, piece);
}

// Writes the piece to `target`. 0, or the Windows error.
DWORD WritePiece(const FilePiece& piece, HANDLE target) {
  const DWORD chunk = 2 * piece.chunk;
  for (DWORD done = 0; done < piece.size;) {
    const DWORD wanted = std::min(piece.size - done, chunk);
    DWORD result = ReadAt(piece.file, piece.offset + done, piece.buffer.get(), wanted);
    if (result != ERROR_SUCCESS) {
      return result;
    }
    DWORD written = 0;
    if (!WriteFile(target, piece.buffer.get(), wanted, &written, nullptr)) {
      return GetLastError();
    }
    if (written != wanted) {
      return ERROR_WRITE_FAULT;
    }
    done += wanted;
  }
  return ERROR_SUCCESS;
}

// True when `held` consists of exactly the piece's bytes, read through the hold.
bool HoldsPiece(HANDLE held, const FilePiece& piece) {
  DWORD high = 0;
  if (GetFileSize(held, &high) != piece.size || high != 0) {
    return false;
  }
  unsigned char* expected = piece.buffer.get();
  unsigned char* actual = expected + piece.chunk;
  for (DWORD done = 0; done < piece.size;) {
    const DWORD wanted = std::min(piece.size - done, piece.chunk);
    if (ReadAt(piece.file, piece.offset + done, expected, wanted) != ERROR_SUCCESS ||
        ReadAt(held, done, actual, wanted) != ERROR_SUCCESS ||
        std::memcmp(expected, actual, wanted) != 0) {
      return false;
    }
    done += wanted;
  }
  return true;
}

// The digest of everything `held` holds, read through the hold in chunks of `buffer`'s `size`.
DWORD DigestHeldFile(HANDLE held, unsigned char* buffer, DWORD size, ContentDigest::Value& value) {
  ContentDigest digest;
  DWORD result = digest.Begin();
  std::uint64_t fileSize = 0;
  if (result == ERROR_SUCCESS && !FileSize(held, fileSize)) {
    result = LastErrorOr(ERROR_READ_FAULT);
  }
  for (std::uint64_t done = 0; result == ERROR_SUCCESS && done < fileSize;) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(fileSize - done, size));
    result = ReadAt(held, done, buffer, wanted);
    if (result == ERROR_SUCCESS) {
      result = digest.Add(buffer, wanted);
    }
    done += wanted;
  }
  return result == ERROR_SUCCESS ? digest.Finish(value) : result;
}

// Opens a new file at `target` for writing, its missing folders made first, replacing a file
// there. Others may read while it is written, so that a hold can be taken before the writer goes.
HANDLE CreateWriter(const std::wstring& target) {
  std::wstring folder;
  std::wstring name;
  SplitPath(target.c_str(), folder, name);
  if (!IsExistingFolder(folder.c_str())) {
    CreateDirectoryTree(folder.c_str());
  }
  return CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether the `size` bytes of `file` at `offset` are those at `mapped`, read in chunks of the
// buffer's `capacity`. 0, ERROR_FILE_INVALID, or the error of the read.
DWORD CompareWithFile(HANDLE file, std::uint64_t offset, const unsigned char* mapped, DWORD size,
                      unsigned char* buffer, DWORD capacity) {
  for (DWORD done = 0; done < size;) {
    const DWORD wanted = std::min(size - done, capacity);
    const DWORD read = ReadAt(file, offset + done, buffer, wanted);
    if (read != ERROR_SUCCESS) {
      return read == ERROR_HANDLE_EOF ? ERROR_FILE_INVALID : read;
    }
    if (std::memcmp(buffer, mapped + done, wanted) != 0) {
      return ERROR_FILE_INVALID;
    }
    done += wanted;
  }
  return ERROR_SUCCESS;
}

}  // namespace

void ReadPayloadsFrom(HANDLE imageFile) { g_imageFile = imageFile; }

DWORD ConfirmRunningImage(HANDLE imageFile, HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const DWORD headerBytes = headers->OptionalHeader.SizeOfHeaders;
  const std::size_t imageBase =
      dos->e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader.ImageBase);
  if (imageBase + sizeof(headers->OptionalHeader.ImageBase) > headerBytes) {
    return ERROR_BAD_EXE_FORMAT;
  }
  const DWORD capacity = std::max(headerBytes, kPieceChunkBytes);
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[capacity]);
  if (!buffer) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // The headers, but for the base address, which the loader writes into the mapped ones.
  const DWORD read = ReadAt(imageFile, 0, buffer.get(), headerBytes);
  if (read != ERROR_SUCCESS) {
    return read == ERROR_HANDLE_EOF ? ERROR_FILE_INVALID : read;
  }
  std::memcpy(buffer.get() + imageBase, base + imageBase,
              sizeof(headers->OptionalHeader.ImageBase));
  if (std::memcmp(buffer.get(), base, headerBytes) != 0) {
    return ERROR_FILE_INVALID;
  }
  // Equal headers still allow another build of the same layout (another version of the product
  // whose package fills as many sectors): the section of the resources, where the payloads are,
  // must hold the same bytes too. The loader never changes it.
  const DWORD resources =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    if (resources != 0 && resources >= section->VirtualAddress &&
        resources - section->VirtualAddress < section->Misc.VirtualSize) {
      return CompareWithFile(imageFile, section->PointerToRawData, base + section->VirtualAddress,
                             std::min(section->SizeOfRawData, section->Misc.VirtualSize),
                             buffer.get(), capacity);
    }
  }
  return ERROR_SUCCESS;
}

bool CheckDiskSpace(const wchar_t* folder, std::uint32_t requiredBytes, HINSTANCE instance,
                    const wchar_t* caption) {
  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  ULARGE_INTEGER totalFree;
  if (!PayloadSystemCalls().getDiskFreeSpaceEx(folder, &available, &total, &totalFree)) {
    ShowNameMessage(instance, caption, IDS_NO_FREE_SPACE, L"");
    return false;
  }
  // The volume's whole free count, not what this user's quota leaves.
  return totalFree.QuadPart >= kFourGiB || totalFree.LowPart >= requiredBytes;
}

bool ExtractFileFromResource(WORD resourceId, HINSTANCE instance, const wchar_t* caption,
                             const wchar_t* fileName, const wchar_t* folderOrPath, HeldFile* hold) {
  // 1 to 3: where the file goes.
  std::wstring folder;
  std::wstring name;
  if (fileName != nullptr && *fileName != L'\0') {
    name = fileName;
    folder = folderOrPath != nullptr ? folderOrPath : L"";
  } else {
    SplitPath(folderOrPath, folder, name);
  }
  std::wstring fullPath = folder;
  if (!text::EndsWith(fullPath, L'\\')) {
    fullPath.push_back(L'\\');
  }
  fullPath += name;
  if (folder.size() >= MAX_PATH || name.size() >= MAX_PATH || fullPath.size() >= MAX_PATH) {
    // Such a path cannot be written whole, and a cut one would name some other file.
    ShowTextMessage(Unowned(instance, caption), IDS_INVALID_PATH, fullPath.c_str());
    return false;
  }
  if (!IsExistingFolder(folder.c_str())) {
    CreateDirectoryTree(folder.c_str());
  }
  // A folder that could not be made has no free space to read: the file's creation below fails
  // instead, and the user learns that the file could not be created, not that the disk is full.
  const bool folderExists = IsExistingFolder(folder.c_str());
  std::wstring folderWithSeparator = folder;
  if (!text::EndsWith(folderWithSeparator, L'\\')) {
    folderWithSeparator.push_back(L'\\');
  }

  // 4 to 6: the payload in the running executable, and room for it.
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(resourceId), kPayloadType);
  if (resource == nullptr) {
    ShowNameMessage(instance, caption, IDS_COULD_NOT_FIND, name);
    return false;
  }
  const DWORD size = SizeofResource(module, resource);
  // The product package needs room for itself and for the installer's own copy.
  const std::uint32_t required =
      resourceId == IDP_PRODUCT_PACKAGE
          ? static_cast<std::uint32_t>(std::min<std::uint64_t>(2ull * size, 0xFFFFFFFFull))
          : size;
  if (folderExists && !CheckDiskSpace(folderWithSeparator.c_str(), required, instance, caption)) {
    ShowTextMessage(Unowned(instance, caption), IDS_NOT_ENOUGH_SPACE, folderWithSeparator.c_str());
    return false;
  }
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) {
    ShowTextMessage(Unowned(instance, caption), IDS_COULD_NOT_LOAD, name.c_str());
    return false;
  }
  // The bytes in the mapped image, or their place in the executable file (ReadPayloadsFrom). The
  // image stays mapped for the life of the process, so nothing is released.
  const void* bytes = LockResource(loaded);

  // 7 to 10: one write of the whole payload.
  LogString(L"[ExtractFileFromResource] Creating file: %s\n", fullPath.c_str());
  // A payload to be held lets others read while it is written, so that the hold can be taken
  // before the writer goes; nobody else may write, rename or delete it meanwhile.
  const DWORD share = hold != nullptr ? FILE_SHARE_READ : 0;
  HANDLE file = CreateFileW(fullPath.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogNumber(L"[ExtractFileFromResource] CreateFile failure: %d\n", GetLastError());
    ShowNameMessage(instance, caption, IDS_COULD_NOT_CREATE, name);
    return false;
  }
  FilePiece piece;
  const bool fromFile = FindImagePiece(module, bytes, size, piece);
  DWORD writeError = ERROR_SUCCESS;
  if (fromFile) {
    writeError = WritePiece(piece, file);
  } else {
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, bytes, size, &written, nullptr);
    // A write that stops short leaves a file that is not the payload: that is a failure too.
    writeError = wrote ? (written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT) : GetLastError();
  }
  if (writeError != ERROR_SUCCESS || hold == nullptr) {
    CloseHandle(file);
  } else {
    // A payload that cannot be held, or no longer holds what was written, is as good as not
    // written.
    writeError = HandOverToHold(file, fullPath, *hold);
    if (writeError == ERROR_SUCCESS &&
        !(fromFile ? HoldsPiece(hold->handle(), piece) : hold->Contains(bytes, size))) {
      hold->Release();
      writeError = ERROR_FILE_INVALID;
    }
  }
  if (writeError != ERROR_SUCCESS) {
    LogNumber(L"[ExtractFileFromResource] WriteFile failure: %d\n", writeError);
    ShowNameMessage(instance, caption, IDS_COULD_NOT_WRITE, name);
    return false;
  }
  return true;
}

DWORD CopyHeldFile(const HeldFile& source, const std::wstring& target, HeldFile& hold) {
  hold.Release();
  if (!source.IsHeld()) {
    return ERROR_INVALID_HANDLE;
  }
  if (target.size() >= MAX_PATH) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  std::uint64_t sourceSize = 0;
  if (!FileSize(source.handle(), sourceSize)) {
    return LastErrorOr(ERROR_READ_FAULT);
  }
  // What the run copies (a package, an engine update) never reaches 4 GiB.
  if (sourceSize > MAXDWORD) {
    return ERROR_FILE_TOO_LARGE;
  }
  FilePiece piece;
  if (!MakePiece(source.handle(), 0, static_cast<DWORD>(sourceSize), piece)) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  HANDLE file = CreateWriter(target);
  if (file == INVALID_HANDLE_VALUE) {
    return LastErrorOr(ERROR_CANNOT_MAKE);
  }
  DWORD result = WritePiece(piece, file);
  if (result != ERROR_SUCCESS) {
    CloseHandle(file);
    return result;
  }
  // A copy that cannot be held, or no longer holds what was written, is as good as not made.
  result = HandOverToHold(file, target, hold);
  if (result == ERROR_SUCCESS && !HoldsPiece(hold.handle(), piece)) {
    hold.Release();
    result = ERROR_FILE_INVALID;
  }
  return result;
}

DWORD WriteHeldFile(ByteSource& source, const std::wstring& target, HeldFile& hold) {
  hold.Release();
  if (target.size() >= MAX_PATH) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kPieceChunkBytes]);
  if (!buffer) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  ContentDigest written;
  DWORD result = written.Begin();
  if (result != ERROR_SUCCESS) {
    return result;
  }
  HANDLE file = CreateWriter(target);
  if (file == INVALID_HANDLE_VALUE) {
    return LastErrorOr(ERROR_CANNOT_MAKE);
  }
  for (;;) {
    DWORD delivered = 0;
    result = source.Read(buffer.get(), kPieceChunkBytes, delivered);
    if (result != ERROR_SUCCESS || delivered == 0) {
      break;
    }
    result = written.Add(buffer.get(), delivered);
    DWORD done = 0;
    if (result == ERROR_SUCCESS && !WriteFile(file, buffer.get(), delivered, &done, nullptr)) {
      result = LastErrorOr(ERROR_WRITE_FAULT);
    } else if (result == ERROR_SUCCESS && done != delivered) {
      result = ERROR_WRITE_FAULT;
    }
    if (result != ERROR_SUCCESS) {
      break;
    }
  }
  if (result != ERROR_SUCCESS) {
    CloseHandle(file);
    return result;
  }
  // The bytes are gone once written: what the hold must hold is known by their digest. A file that
  // cannot be held, or no longer holds what was written, is as good as not written.
  ContentDigest::Value expected;
  ContentDigest::Value found;
  result = written.Finish(expected);
  if (result != ERROR_SUCCESS) {
    CloseHandle(file);
    return result;
  }
  result = HandOverToHold(file, target, hold);
  if (result == ERROR_SUCCESS) {
    result = DigestHeldFile(hold.handle(), buffer.get(), kPieceChunkBytes, found);
    if (result == ERROR_SUCCESS && found != expected) {
      result = ERROR_FILE_INVALID;
    }
    if (result != ERROR_SUCCESS) {
      hold.Release();
    }
  }
  return result;
}

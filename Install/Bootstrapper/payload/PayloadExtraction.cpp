#include "payload/PayloadExtraction.h"

#include <algorithm>
#include <string>

#include "config/TextUtil.h"
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
// A held file is copied in pieces of this size, on the stack.
constexpr DWORD kCopyChunkBytes = 64 * 1024;

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

// Writes everything `source` holds, from its start, to `target`. 0, or the Windows error.
DWORD CopyContent(HANDLE source, HANDLE target) {
  if (SetFilePointer(source, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return GetLastError();
  }
  unsigned char chunk[kCopyChunkBytes];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, chunk, kCopyChunkBytes, &read, nullptr)) {
      return GetLastError();
    }
    if (read == 0) {
      return ERROR_SUCCESS;
    }
    DWORD written = 0;
    if (!WriteFile(target, chunk, read, &written, nullptr)) {
      return GetLastError();
    }
    if (written != read) {
      return ERROR_WRITE_FAULT;
    }
  }
}

}  // namespace

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
  // The bytes in the mapped image are written as they are: no buffer, no copy. The image stays
  // mapped for the life of the process, so nothing is released.
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
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, bytes, size, &written, nullptr);
  // A write that stops short leaves a file that is not the payload: that is a failure too.
  DWORD writeError = wrote ? (written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT) : GetLastError();
  if (writeError != ERROR_SUCCESS || hold == nullptr) {
    CloseHandle(file);
  } else {
    // A payload that cannot be held, or no longer holds what was written, is as good as not
    // written.
    writeError = HandOverToHold(file, fullPath, *hold);
    if (writeError == ERROR_SUCCESS && !hold->Contains(bytes, size)) {
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
  std::wstring folder;
  std::wstring name;
  SplitPath(target.c_str(), folder, name);
  if (!IsExistingFolder(folder.c_str())) {
    CreateDirectoryTree(folder.c_str());
  }
  // Others may read while it is written, so that the hold can be taken before the writer goes.
  HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_CANNOT_MAKE;
  }
  DWORD result = CopyContent(source.handle(), file);
  if (result != ERROR_SUCCESS) {
    CloseHandle(file);
    return result;
  }
  result = HandOverToHold(file, target, hold);
  std::uint64_t sourceSize = 0;
  std::uint64_t copySize = 0;
  if (result == ERROR_SUCCESS && (!FileSize(source.handle(), sourceSize) ||
                                  !FileSize(hold.handle(), copySize) || sourceSize != copySize)) {
    hold.Release();
    result = ERROR_FILE_INVALID;
  }
  return result;
}

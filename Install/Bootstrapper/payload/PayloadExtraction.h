// Writing a payload that travels inside the executable (resource type "EXE") to a file.
#pragma once

#include <cstdint>
#include <string>

#include "sys/Win32.h"

class HeldFile;

// Writes payload `resourceId` to `folderOrPath` + `fileName`, or to the full path `folderOrPath`
// when `fileName` is null or empty, creating missing folders. True only when the whole payload is
// written and the file closed; on false the user has been told why in a message box. With `hold`
// the file is then held, and its content confirmed under the hold, for as long as `hold` keeps
// it; a file that cannot be held or confirmed counts as not written.
bool ExtractFileFromResource(WORD resourceId, HINSTANCE instance, const wchar_t* caption,
                             const wchar_t* fileName, const wchar_t* folderOrPath,
                             HeldFile* hold = nullptr);

// From now on payloads are read from `imageFile`, this program's own executable file held open
// by the run, at the place its section headers give, and a held payload is confirmed against
// that place: not from the mapped image, whose pages would each be faulted in on first touch
// while the file's are in the cache already (the signature check has just read them all). Null,
// the default, reads the mapped image. The handle must stay open while it is set.
void ReadPayloadsFrom(HANDLE imageFile);

// Whether `imageFile`, the file at this program's path held open by the run, is the program that
// runs as `module`: its headers, section table and data directories (the signature's place and
// size among them) are those of the mapped image, but for the base address the loader chose, and
// so is its section of resources, where the payloads are.
// Another file can stand at the path by the time it is held: the running one renamed away and
// another put in its place. 0, ERROR_FILE_INVALID for another file, or the error of the read.
DWORD ConfirmRunningImage(HANDLE imageFile, HMODULE module);

// True when the volume of `folder` has at least `requiredBytes` free; otherwise the user is told
// that the free space could not be read (the caller reports the shortage).
bool CheckDiskSpace(const wchar_t* folder, std::uint32_t requiredBytes, HINSTANCE instance,
                    const wchar_t* caption);

// Where the bytes of WriteHeldFile come from.
class ByteSource {
 public:
  // Up to `capacity` further bytes into `buffer`; `delivered` is 0 once there are no more. 0, or
  // the Windows error that ends the writing.
  virtual DWORD Read(void* buffer, DWORD capacity, DWORD& delivered) = 0;

 protected:
  ~ByteSource() = default;
};

// Writes the bytes that `source` delivers to `target`, creating missing folders and replacing a
// file there, and holds the file in `hold`, confirmed against a digest of what was written, as a
// written payload is held. 0, or the Windows error; a file that could not be written whole, held
// and confirmed is not held.
DWORD WriteHeldFile(ByteSource& source, const std::wstring& target, HeldFile& hold);

// Copies the file that `source` holds, read through the hold, to `target`, creating missing
// folders and replacing a file there, and holds the copy in `hold`, confirmed against `source`,
// as a written payload is held.
// 0, or the Windows error; a copy that could not be made whole is not held.
DWORD CopyHeldFile(const HeldFile& source, const std::wstring& target, HeldFile& hold);

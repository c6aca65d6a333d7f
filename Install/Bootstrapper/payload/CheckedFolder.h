// Files that the elevated run writes, copies or deletes in folders a user can write: the logs and
// the ini file that /w has the installer write (the temporary folder), that ini file's place
// beside setup.exe, and the log copies in the product's install folder. A process of the user can
// put a link at any name there, or make the folder itself a link (a junction, a symbolic link, a
// mount point), and a hard link gives a file the user cannot read or write a second name there.
// Through any of them the run would create, truncate, read or delete a file of the user's
// choosing. So a folder is first opened and checked as it is (a real folder, no link on its way),
// held while the run works in it, and every file is then reached by its name relative to that
// handle, never through a path that could be re-pointed meanwhile: a new file is written under a
// name nobody can guess and renamed over the wanted one, so that whatever stood there loses only
// its name; an existing file is used only when it is a regular file with no other name, where its
// path says it is.
#pragma once

#include <string>

#include "sys/Win32.h"

// The error of a check that found a link (a reparse point, a second name, a path that leads
// elsewhere): nothing was done through it.
inline constexpr DWORD kLinkInTheWay = ERROR_BAD_PATHNAME;

// Opens `folder` (ending in a backslash) itself, not through a link at its name, and checks it: a
// folder, no reparse point on its path from the drive's or share's root down, and where its handle
// really leads is `folder` (from Windows Vista on; XP cannot tell). The handle refuses to share
// deletion, so that nobody renames the folder away or deletes it while it lives. 0, kLinkInTheWay,
// or the Windows error of an open or a look that failed.
DWORD OpenRealFolder(const std::wstring& folder, FileHandle& handle);

// `count` random bytes as upper-case hexadecimal digits after `prefix`: a name nobody can know
// beforehand. False without the system's random source.
bool RandomName(const wchar_t* prefix, unsigned count, std::wstring& name);

class CheckedFolder {
 public:
  // Opens `folder` (ending in a backslash; a short name is taken in its long form) and holds it
  // until the object goes, as OpenRealFolder does. With `create`, missing folders of its path are
  // made first, each only inside a real folder. 0, kLinkInTheWay, or the Windows error.
  DWORD Open(const std::wstring& folder, bool create = false);

  // The folder in its long form, ending in a backslash; empty until Open succeeded.
  const std::wstring& path() const { return path_; }

  // A new, empty regular file `name` in the folder, open with `access` and `share`. Whatever had
  // that name before (a file, a link, a second name of another file) has lost it and is otherwise
  // untouched; a folder or a link to a folder keeps it, and the result is then kLinkInTheWay, as
  // when another file took the name in the moment between the making and the opening. 0,
  // kLinkInTheWay, or the Windows error.
  DWORD CreateFile(const wchar_t* name, DWORD access, DWORD share, FileHandle& file) const;

  // The existing file `name`, open with `access` and `share`, when it is a regular file, no link,
  // with no second name, in this folder. 0, kLinkInTheWay, or the Windows error.
  DWORD OpenFile(const wchar_t* name, DWORD access, DWORD share, FileHandle& file) const;

 private:
  std::wstring path_;
  FileHandle handle_;
};

// True when two files' information names one file: the same volume and index.
inline bool SameFile(const BY_HANDLE_FILE_INFORMATION& one,
                     const BY_HANDLE_FILE_INFORMATION& other) {
  return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// Deletes the file that `file` (opened with DELETE) names: the one the handle was opened on,
// whatever a path names by now; read-only too, when the handle may change attributes. True when
// done.
bool DeleteByHandle(HANDLE file);

// Writes the whole content of `source`, from its start, to `target` at its current position.
// True when every byte was read and written.
bool CopyContent(HANDLE source, HANDLE target);

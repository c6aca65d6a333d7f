// The run's own working folder. The run is elevated, and every file it writes and later runs,
// installs, verifies or hands to the installer must be out of reach of the user's other
// processes, folder included: a folder of the user's (the temporary folder, the URL cache) can be
// turned into a link to another place after a file in it was checked and before it is used. This
// folder is new, has a name nobody can guess, lies where only administrators can change the
// folders above it, and only SYSTEM and Administrators may touch it.
#pragma once

#include <string>

#include "sys/Win32.h"

// The Temp folder of the Windows folder shared by all users (not a user's own Windows folder under
// Terminal Services), ending in a backslash. Only administrators can change the folders above the
// run's folder there. False when the system does not say where it is.
bool WindowsTempFolder(std::wstring& folder);

class WorkFolder {
 public:
  WorkFolder() = default;
  ~WorkFolder() { Remove(); }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  // Makes the folder in the Windows folder's own Temp folder, with an access list of its own
  // (SYSTEM and Administrators full control, nothing inherited), and checks what was made: a real
  // folder, no reparse point anywhere on its path, and the path through its handle the one used.
  // 0, or the Windows error; after a failure nothing is left behind and path() names the folder
  // that was tried, for the message.
  DWORD Create();

  bool created() const { return static_cast<bool>(handle_); }
  // The folder, ending in a backslash.
  const std::wstring& path() const { return path_; }

  // Removes the folder with whatever is still in it; a file that cannot be deleted stays, and so
  // does the folder then. Afterwards nothing is created.
  void Remove();

 private:
  std::wstring path_;
  // Held for the run with access to its content, without delete sharing: nobody can rename the
  // folder away or delete it.
  FileHandle handle_;
};

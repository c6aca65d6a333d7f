// The attacker of the hold tests: a process of the same user as the elevated setup.exe, trying
// to swap a file that the run is about to run or install for one of its own, or to move it away.
// Shared by wintool's "attack" command (another process, while setup.exe runs) and the Windows
// unit test of the hold itself (the same attempts on a file while held and once released). The
// attack through a link on the run's path (a junction pointed elsewhere the moment a file
// appears) is made from the Linux side, by test_hostile_input's LinkAttacker: Wine cannot make a
// junction, and a Unix symbolic link stands for one.
#pragma once

#include <windows.h>

#include <string>

namespace attack {

// Puts `staging`, a file of the attacker's on the same volume, in the place of `target` by
// renaming it over the target. 0, or the error of the attempt.
inline DWORD ReplaceByRename(const std::wstring& target, const std::wstring& staging) {
  return MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS
                                                                                 : GetLastError();
}

// Renames `target` away, so that its name is free for another file. 0, or the error.
inline DWORD MoveAway(const std::wstring& target) {
  const std::wstring away = target + L".moved";
  return MoveFileExW(target.c_str(), away.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace attack

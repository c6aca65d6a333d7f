// Path, file and process operations shared by the payload, prerequisite and clean-up steps. They
// work on 260-character paths, ignore most failures of the calls they make (callers check the
// outcome that matters to them), and clear the read-only attribute before they delete.
#pragma once

#include <string>

#include "sys/Win32.h"

// Creates every missing folder of `path`. Always true: callers find out later whether it exists.
bool CreateDirectoryTree(const wchar_t* path);

// Splits `path` at its last backslash into `folder` (without the backslash) and `name`. Without
// a backslash `folder` is the whole path and `name` is left as it was.
void SplitPath(const wchar_t* path, std::wstring& folder, std::wstring& name);

// Removes the empty folder `base` + `relative`, read-only or not; failures are ignored.
void RemoveDirectory(const wchar_t* base, const wchar_t* relative);

// Deletes the file `base` + `middle` + `name`, read-only or not; failures are ignored.
void DeleteFile(const wchar_t* base, const wchar_t* middle, const wchar_t* name);

// Copies `sourceFolder` + `name` to `targetFolder` + `name`, creating the target folder and
// replacing an existing target. False when the source is missing or the copy fails.
bool CopyFileToFolder(const wchar_t* sourceFolder, const wchar_t* name,
                      const wchar_t* targetFolder);

// The folder every program the run starts begins in (ending in a backslash): the run's own folder
// once it is made, never the user's folder the run was started from (Downloads, a share), where
// anyone could have put files for the program to find. Until one is set, and after it is set
// empty, null: a program then begins in this process's current folder, which stays as it is.
void SetProgramStartFolder(const std::wstring& folder);
const wchar_t* ProgramStartFolder();

// Runs `commandLine` hidden and without a window, in ProgramStartFolder, waiting while the window
// stays responsive. Returns the process's exit code, or the Windows error when it cannot be
// started or waited for.
DWORD RunHidden(wchar_t* commandLine);

// Waits for `process` to end while dispatching this thread's window messages, one per wake-up.
// 0 when the process has ended, else the Windows error of the wait (never 0), which is logged.
DWORD WaitPumpingMessages(HANDLE process);

// The temporary folder, where the run keeps the installer's log: GetTempPathW's answer, ending in
// a backslash. When that cannot be had (an answer that does not fit counts as none) the failure
// is logged and the answer is a folder of the run's own inside `exeFolder`, never `exeFolder`
// itself, where the run's files could meet a distributor's of the same names. `fellBack` tells
// which it is.
std::wstring GetWorkingTempFolder(const std::wstring& exeFolder, bool& fellBack);

// Name of the folder of the run's own beside the executable, used when there is no temporary
// folder.
inline constexpr wchar_t kFallbackTempSubfolder[] = L"SetupTemp\\";

// True when `path` names an existing folder.
bool IsExistingFolder(const wchar_t* path);

// True when `path` names an existing file (not a folder).
bool IsExistingFile(const wchar_t* path);

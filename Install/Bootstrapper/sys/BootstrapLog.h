// bootstrap.log: one line per event of the run, in the temporary folder and on the debugger
// output. The first line makes the file new (an earlier run's log, or whatever else had its name,
// a link included, loses the name and is otherwise left alone) and holds it open for appending,
// and every line is one write through that hold, so the file is complete whenever the process
// ends; others may read it meanwhile, but not write, delete or rename it. When a link stands in
// the way (the temporary folder is one, or lies below one), the log is kept in the Windows
// folder's Temp instead, and its second line says so. Once the run lets go (ReleaseLogFile), every
// line opens the file, appends to it and closes it again, as long as the file at its path is still
// the one this run made. No writer ever fails visibly: a line that cannot be written is lost.
#pragma once

#include <cstdint>
#include <string>

#include "sys/Win32.h"

// The log's name, in the temporary folder and in its copy in the install folder.
inline constexpr wchar_t kBootstrapLogName[] = L"bootstrap.log";

// The line that says where a log went because a link stood in the way: the path that was not
// used, then the path used instead.
inline constexpr wchar_t kLogKeptElsewhere[] =
    L"[Info] Not writing through a link: %s is kept as %s\n";

// A line built from `format` with up to two texts. With the first text absent or empty the format
// is written as it stands.
void LogString(const wchar_t* format, const wchar_t* text1 = nullptr,
               const wchar_t* text2 = nullptr);

// A line built from `format` with one or two 32-bit numbers, signed or unsigned as the
// placeholder says.
void LogNumber(const wchar_t* format, std::uint32_t value);
void LogNumbers(const wchar_t* format, std::uint32_t value1, std::uint32_t value2);

// Full path of the log file; empty until the first line of the run has been written.
std::wstring BootstrapLogPath();

// True while the log file this run made can still be written: from its first line on, unless no
// file could be made.
bool HasLogFile();

// Writes the whole log, as it stands, to `target` at its position. True when all of it was.
bool CopyLogInto(HANDLE target);

// From now on lines go to the debugger output only, and the file is left as it is. For a process
// that runs beside an instance whose log this is (the verification mode, a second instance).
void KeepLogOffFile();

// Lets go of the file: from now on every line opens, appends to and closes it again, and between
// lines any other process may open it as it likes. For the end of the run, once a new instance
// may start and take the log over; a file that is no longer this run's gets no more lines.
void ReleaseLogFile();

// bootstrap.log: one line per event of the run, in the temporary folder and on the debugger
// output. The first line empties the file and holds it open for appending, and every line is one
// write through that hold, so the file is complete whenever the process ends; others may read it
// (and write it) meanwhile, but not delete or rename it. Once the run lets go (ReleaseLogFile),
// every line opens, appends to and closes the file. No writer ever fails visibly: a line that
// cannot be written is lost.
#pragma once

#include <cstdint>
#include <string>

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

// From now on lines go to the debugger output only, and the file is left as it is. For a process
// that runs beside an instance whose log this is (the verification mode, a second instance).
void KeepLogOffFile();

// Lets go of the file: from now on every line opens, appends to and closes it again, and between
// lines any other process may open it as it likes. For the end of the run, once a new instance
// may start and take the log over.
void ReleaseLogFile();

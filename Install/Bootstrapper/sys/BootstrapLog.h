// bootstrap.log: one line per event of the run, in the temporary folder and on the debugger
// output. Every line opens, appends to and closes the file, so the file is complete whenever the
// process ends. No writer ever fails visibly: a line that cannot be written is lost.
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
// that runs beside an instance whose log this is (the verification mode).
void KeepLogOffFile();

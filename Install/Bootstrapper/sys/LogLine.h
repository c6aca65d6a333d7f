// Building the lines of bootstrap.log. Pure: no Windows headers.
//
// A line is built once and written as it is: a "%" that a text or number brings into the line is
// never read as a format again. A line that does not fit its buffer is dropped, not cut.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace logline {

// The format with up to two texts put in. When the first text is absent or empty the line is
// the format itself, unformatted. Returns false when the line is dropped.
bool BuildStringLine(std::wstring& line, const wchar_t* format, const wchar_t* text1,
                     const wchar_t* text2);

// The format with one or two 32-bit numbers put in; room for 12 or 24 characters of numbers.
bool BuildNumberLine(std::wstring& line, const wchar_t* format, std::uint32_t value);
bool BuildNumbersLine(std::wstring& line, const wchar_t* format, std::uint32_t value1,
                      std::uint32_t value2);

// The 8-bit text stored in the file: each character up to U+00FF as its byte value, anything
// beyond as "?", and each "\n" as CR LF, as a text-mode file of the C runtime stores it.
std::string ToFileText(std::wstring_view line);

}  // namespace logline

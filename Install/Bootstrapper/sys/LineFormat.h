// printf-style formatting of the program's own messages, bounded to a buffer size.
//
// Log lines and some message boxes are built from wide printf-style formats: "%s" takes a text,
// "%d", "%ld", "%u", "%lu", "%X" take a 32-bit number, "%%" is a percent sign. This formatter
// implements exactly that family (with flags, width and precision) itself, so that the result is
// the same on every platform and a text that holds "%" is never interpreted as a format.
// Pure: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace linefmt {

struct Arg {
  const wchar_t* text = nullptr;  // for %s; null is formatted as empty text
  std::uint32_t number = 0;       // for the numeric conversions

  static Arg Text(const wchar_t* t) { return Arg{t, 0}; }
  static Arg Number(std::uint32_t n) { return Arg{nullptr, n}; }
};

// Formats `format` with `args` taken in order into `out`, for a buffer of `capacity` characters
// including the terminator. Returns false when the whole result does not fit; `out` then holds
// the first capacity - 1 characters of it.
bool FormatBounded(std::wstring& out, std::wstring_view format, std::initializer_list<Arg> args,
                   std::size_t capacity);

// Every "%" sequence of a message text, in order: the printf fields above ("%s", "%d", "%%",
// with their flags and widths) and the inserts of the system's message formatter ("%1").
// A text may stand in for another only with the same sequence, since the program fills them.
std::vector<std::wstring> Placeholders(std::wstring_view text);

}  // namespace linefmt

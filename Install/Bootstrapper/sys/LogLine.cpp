#include "sys/LogLine.h"

#include <cwchar>

#include "sys/LineFormat.h"

namespace logline {
namespace {

std::size_t Length(const wchar_t* text) { return text ? std::wcslen(text) : 0; }

}  // namespace

bool BuildStringLine(std::wstring& line, const wchar_t* format, const wchar_t* text1,
                     const wchar_t* text2) {
  if (format == nullptr) {
    return false;
  }
  if (text1 == nullptr || *text1 == L'\0') {
    line.assign(format);
    return true;
  }
  const std::size_t capacity = Length(format) + Length(text1) + Length(text2) + 1;
  return linefmt::FormatBounded(line, format,
                                {linefmt::Arg::Text(text1), linefmt::Arg::Text(text2)}, capacity);
}

bool BuildNumberLine(std::wstring& line, const wchar_t* format, std::uint32_t value) {
  if (format == nullptr) {
    return false;
  }
  return linefmt::FormatBounded(line, format, {linefmt::Arg::Number(value)}, Length(format) + 13);
}

bool BuildNumbersLine(std::wstring& line, const wchar_t* format, std::uint32_t value1,
                      std::uint32_t value2) {
  if (format == nullptr) {
    return false;
  }
  return linefmt::FormatBounded(line, format,
                                {linefmt::Arg::Number(value1), linefmt::Arg::Number(value2)},
                                Length(format) + 25);
}

std::string ToFileText(std::wstring_view line) {
  std::string bytes;
  bytes.reserve(line.size());
  for (wchar_t c : line) {
    const auto code = static_cast<std::uint32_t>(c);
    if (c == L'\n') {
      bytes.push_back('\r');
    }
    bytes.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
  }
  return bytes;
}

}  // namespace logline

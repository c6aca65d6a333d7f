// Building log lines and bounded message texts from any format and values: a line fits its
// buffer or is dropped, and a text or number is never formatted twice.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "sys/LineFormat.h"
#include "sys/LogLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) {
    return 0;
  }
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  std::memcpy(&first, data, 4);
  std::memcpy(&second, data + 4, 4);
  const std::size_t capacity = data[8] | (data[9] << 8);
  const auto texts = fuzz::WideTexts(data + 10, size - 10, 3);
  const wchar_t* format = texts[0].c_str();

  std::wstring line;
  if (logline::BuildStringLine(line, format, texts[1].c_str(), texts[2].c_str()) &&
      !texts[1].empty() && line.size() > texts[0].size() + texts[1].size() + texts[2].size()) {
    std::abort();
  }
  if (logline::BuildNumberLine(line, format, first) && line.size() > texts[0].size() + 12) {
    std::abort();
  }
  if (logline::BuildNumbersLine(line, format, first, second) &&
      line.size() > texts[0].size() + 24) {
    std::abort();
  }
  std::wstring bounded;
  const bool fitted = linefmt::FormatBounded(
      bounded, format, {linefmt::Arg::Text(texts[1].c_str()), linefmt::Arg::Number(first)},
      capacity);
  if (capacity == 0 ? !bounded.empty() : bounded.size() > capacity - 1) {
    std::abort();
  }
  (void)fitted;
  // One byte a character, and one more for each line end.
  const std::string bytes = logline::ToFileText(line);
  const auto lineEnds = static_cast<std::size_t>(std::count(line.begin(), line.end(), L'\n'));
  if (bytes.size() != line.size() + lineEnds) {
    std::abort();
  }
  return 0;
}

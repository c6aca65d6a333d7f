// Turning a fuzzer's bytes into the wide texts the program's rules take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Reads the input as UTF-16LE code units (what Windows hands the program), split into texts at
// each code unit 0x0000: NUL never occurs inside a text the program is given.
inline std::vector<std::wstring> WideTexts(const std::uint8_t* data, std::size_t size,
                                           std::size_t count) {
  std::vector<std::wstring> texts(1);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      if (texts.size() == count) {
        break;
      }
      texts.emplace_back();
    } else {
      texts.back().push_back(unit);
    }
  }
  texts.resize(count);
  return texts;
}

}  // namespace fuzz

#include "config/TextUtil.h"

namespace text {

std::vector<std::wstring> SplitText(std::wstring_view text, std::wstring_view delimiters) {
  std::vector<std::wstring> pieces;
  if (text.empty()) {
    return pieces;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t cut = text.find_first_of(delimiters, start);
    if (cut == std::wstring_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, cut - start));
    start = cut + 1;
  }
}

std::wstring TrimText(std::wstring_view text, std::wstring_view set) {
  const std::size_t first = text.find_first_not_of(set);
  if (first == std::wstring_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(set);
  return std::wstring(text.substr(first, last - first + 1));
}

std::wstring RemoveAll(std::wstring_view text, std::wstring_view set) {
  std::wstring kept;
  kept.reserve(text.size());
  for (wchar_t c : text) {
    if (set.find(c) == std::wstring_view::npos) {
      kept.push_back(c);
    }
  }
  return kept;
}

wchar_t FoldLower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring FoldLower(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) {
    c = FoldLower(c);
  }
  return folded;
}

std::wstring FoldUpper(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    }
  }
  return folded;
}

bool BoundedCopy(std::wstring& target, std::wstring_view source, std::size_t capacity) {
  target.clear();
  return BoundedAppend(target, source, capacity);
}

bool BoundedAppend(std::wstring& target, std::wstring_view source, std::size_t capacity) {
  const std::size_t limit = capacity == 0 ? 0 : capacity - 1;
  if (target.size() >= limit) {
    target.resize(limit);
    return source.empty() && capacity != 0;
  }
  const std::size_t room = limit - target.size();
  if (source.size() > room) {
    target.append(source.substr(0, room));
    return false;
  }
  target.append(source);
  return true;
}

bool EndsWith(std::wstring_view text, wchar_t c) { return !text.empty() && text.back() == c; }

std::wstring Decimal(long long value) {
  // Built by hand so that the text is the same on every platform and never depends on a locale.
  wchar_t digits[24];
  std::size_t n = 0;
  const bool negative = value < 0;
  unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::wstring result;
  if (negative) {
    result.push_back(L'-');
  }
  while (n > 0) {
    result.push_back(digits[--n]);
  }
  return result;
}

}  // namespace text

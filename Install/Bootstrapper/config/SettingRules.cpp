#include "config/SettingRules.h"

#include "config/TextUtil.h"

namespace {

bool IsWideSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Whether `text` is one of `keywords`, ASCII letters compared without case.
template <std::size_t Count>
bool IsOneOf(std::wstring_view text, const wchar_t* const (&keywords)[Count]) {
  const std::wstring folded = text::FoldUpper(text);
  for (const wchar_t* keyword : keywords) {
    if (folded == keyword) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseMinimumMsi(std::wstring_view text, std::uint32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && IsWideSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  const std::size_t firstDigit = i;
  std::uint64_t number = 0;
  bool overflow = false;
  while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') {
    number = number * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    if (number > 0xFFFFFFFFull) {
      overflow = true;
      number = 0xFFFFFFFFull;
    }
    ++i;
  }
  if (i == firstDigit || i != text.size() || overflow || (negative && number != 0)) {
    return false;
  }
  value = static_cast<std::uint32_t>(number);
  return value >= kLowestMinimumMsi;
}

bool DeriveIniFileName(std::wstring_view databaseName, std::wstring& iniFileName) {
  const std::size_t stem = databaseName.size() >= 4 ? databaseName.size() - 4 : 0;
  iniFileName.clear();
  return text::BoundedAppend(iniFileName, databaseName.substr(0, stem), kIniFileNameCapacity) &&
         text::BoundedAppend(iniFileName, L".ini", kIniFileNameCapacity);
}

bool IsAcceptedOperation(std::wstring_view text) { return IsOneOf(text, kAcceptedOperations); }

bool IsPackageSignerKeyword(std::wstring_view text) {
  return IsOneOf(text, kPackageSignerKeywords);
}

bool RequiresSetupSigner(std::wstring_view text) {
  return text::FoldUpper(text) != kPackageSignerKeywords[0];
}

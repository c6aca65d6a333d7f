#include "ui/MessageTable.h"

#include <cstdint>

#include "ui/TableLanguage.h"

namespace {

// Rows live in blocks of sixteen counted texts, one resource per block and language.
constexpr UINT kRowsPerBlock = 16;
// More translations than any product carries; further ones are not considered.
constexpr std::size_t kMaxLanguages = 64;

struct Languages {
  std::uint16_t list[kMaxLanguages];
  std::size_t count = 0;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  auto* languages = reinterpret_cast<Languages*>(param);
  if (languages->count < kMaxLanguages) {
    languages->list[languages->count++] = language;
  }
  return TRUE;
}

// The row's text in the mapped image and its length; false for a missing row. Resources live in
// the mapped image and are never freed: nothing to release.
bool FindRow(HINSTANCE instance, UINT id, const wchar_t*& text, std::size_t& length) {
  const LPCWSTR block = MAKEINTRESOURCEW(id / kRowsPerBlock + 1);
  Languages languages;
  EnumResourceLanguagesW(instance, RT_STRING, block, CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  const std::uint16_t language =
      ChooseTableLanguage(GetUserDefaultUILanguage(), languages.list, languages.count);
  if (language == 0) {
    return false;
  }
  HRSRC found = FindResourceExW(instance, RT_STRING, block, language);
  HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
  const auto* data =
      loaded != nullptr ? static_cast<const wchar_t*>(LockResource(loaded)) : nullptr;
  if (data == nullptr) {
    return false;
  }
  const std::size_t units = SizeofResource(instance, found) / sizeof(wchar_t);
  std::size_t at = 0;
  for (UINT skip = id % kRowsPerBlock; skip > 0 && at < units; --skip) {
    at += 1 + static_cast<std::size_t>(data[at]);
  }
  if (at >= units) {
    return false;
  }
  // A count that runs past the block is taken as far as the block goes.
  length = data[at] <= units - at - 1 ? data[at] : units - at - 1;
  text = data + at + 1;
  return true;
}

}  // namespace

std::wstring LoadTableText(HINSTANCE instance, UINT id) {
  const wchar_t* text = nullptr;
  std::size_t length = 0;
  return FindRow(instance, id, text, length) ? std::wstring(text, length) : std::wstring();
}

int LoadTableString(HINSTANCE instance, UINT id, wchar_t* buffer, int capacity) {
  if (capacity <= 0) {
    return 0;
  }
  buffer[0] = L'\0';
  const wchar_t* text = nullptr;
  std::size_t length = 0;
  if (!FindRow(instance, id, text, length)) {
    return 0;
  }
  if (length > static_cast<std::size_t>(capacity - 1)) {
    length = static_cast<std::size_t>(capacity - 1);
  }
  for (std::size_t i = 0; i < length; ++i) {
    buffer[i] = text[i];
  }
  buffer[length] = L'\0';
  return static_cast<int>(length);
}

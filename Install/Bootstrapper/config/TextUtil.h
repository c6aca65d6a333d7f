// Text helpers shared by the command line, the settings, the feature file and path building.
// Pure: no Windows headers, compiled into setup.exe and into the host-native tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// The white space that option values, ini values and the like are trimmed of.
inline constexpr std::wstring_view kBlanks = L" \t\r\n";

// Cuts `text` at every character of `delimiters`, keeping empty pieces; an empty text gives no
// pieces at all.
std::vector<std::wstring> SplitText(std::wstring_view text, std::wstring_view delimiters);

// Strips characters of `set` from both ends.
std::wstring TrimText(std::wstring_view text, std::wstring_view set = kBlanks);

// Removes every character of `set`, wherever it stands.
std::wstring RemoveAll(std::wstring_view text, std::wstring_view set);

// Case folding of option letters and ini keys: only the ASCII letters change.
wchar_t FoldLower(wchar_t c);
std::wstring FoldLower(std::wstring_view text);
std::wstring FoldUpper(std::wstring_view text);

// Bounded copy and append into a text that lives in a buffer of `capacity` characters, the
// terminator included. What does not fit is cut off; the result says whether all of it fitted.
bool BoundedCopy(std::wstring& target, std::wstring_view source, std::size_t capacity);
bool BoundedAppend(std::wstring& target, std::wstring_view source, std::size_t capacity);

bool EndsWith(std::wstring_view text, wchar_t c);

// The ASCII text of a decimal number, for messages and command lines.
std::wstring Decimal(long long value);

}  // namespace text

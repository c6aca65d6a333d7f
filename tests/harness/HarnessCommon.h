// Small pieces shared by the Windows-side test tools: a handle owner, UTF-8 conversion, a JSON
// writer, Windows command-line quoting and the argument file that carries arguments past the
// Unix-to-Windows command-line conversion unchanged.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
// The tools are wide-character throughout; resource ids such as IDI_HAND must be the W forms.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// The controls of the bootstrapper's progress dialog, which boxprobe copies and runharness reads.
constexpr int kMainTextId = 114;
constexpr int kProgressBarId = 115;
constexpr int kDetailTextId = 116;

// Owns a kernel handle; both "no handle" values (null and INVALID_HANDLE_VALUE) mean empty.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.h_, nullptr));
    }
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (Valid()) {
      CloseHandle(h_);
    }
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// Lone surrogates become U+FFFD, so the output is always valid UTF-8.
inline std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

inline std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

// Builds one line of JSON. Commas are placed by the writer, so callers only say what comes next.
class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }

  JsonWriter& Key(const char* name) {
    Separate();
    AppendEscaped(name);
    out_ += ':';
    afterKey_ = true;
    return *this;
  }
  JsonWriter& String(const std::wstring& text) {
    Separate();
    AppendEscaped(ToUtf8(text));
    return *this;
  }
  JsonWriter& Ascii(const char* text) {
    Separate();
    AppendEscaped(text);
    return *this;
  }
  JsonWriter& Number(long long value) {
    Separate();
    out_ += std::to_string(value);
    return *this;
  }
  JsonWriter& Unsigned(unsigned long long value) {
    Separate();
    out_ += std::to_string(value);
    return *this;
  }
  JsonWriter& Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
    return *this;
  }
  JsonWriter& Null() {
    Separate();
    out_ += "null";
    return *this;
  }

  const std::string& Text() const { return out_; }

 private:
  JsonWriter& Open(char c) {
    Separate();
    out_ += c;
    first_.push_back(true);
    return *this;
  }
  JsonWriter& Close(char c) {
    out_ += c;
    first_.pop_back();
    return *this;
  }
  // A value directly after a key, or the first item of a container, takes no comma.
  void Separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (!first_.empty()) {
      if (!first_.back()) {
        out_ += ',';
      }
      first_.back() = false;
    }
  }
  void AppendEscaped(const std::string& utf8) {
    out_ += '"';
    // Every control character as \u00XX, which any JSON reader takes like its short forms.
    for (unsigned char c : utf8) {
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c < 0x20) {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", c);
        out_ += code;
      } else {
        out_ += static_cast<char>(c);
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
};

// Quotes one argument so that CommandLineToArgvW and the C runtime give it back unchanged:
// backslashes are literal except in front of a quote, where each must be doubled.
inline std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring out = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out += arg[i];
  }
  out += L'"';
  return out;
}

// The program name follows other rules than the arguments: everything between the first pair
// of quotes is taken literally, so it is always quoted and never escaped.
inline std::wstring BuildCommandLine(const std::wstring& exe,
                                     const std::vector<std::wstring>& args) {
  std::wstring line = L"\"" + exe + L"\"";
  for (const auto& arg : args) {
    line += L' ';
    line += QuoteArgument(arg);
  }
  return line;
}

// The whole content of a file; false when it cannot be opened.
inline bool ReadWholeFile(const std::wstring& path, std::string& content) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  char buffer[4096];
  DWORD read = 0;
  while (file.Valid() && ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    content.append(buffer, read);
  }
  return file.Valid();
}

// Reads an argument file: UTF-8 arguments, each one ended by a NUL character. Wine converts a
// Unix command line with the locale's character set and its own quoting, so a caller that needs
// exact arguments (tabs, quotes, non-Latin text) hands them over this way.
inline bool ReadArgumentFile(const std::wstring& path, std::vector<std::wstring>& args) {
  std::string content;
  if (!ReadWholeFile(path, content)) {
    return false;
  }
  for (size_t start = 0; start < content.size();) {
    const size_t end = std::min(content.find('\0', start), content.size());
    args.push_back(FromUtf8(content.substr(start, end - start)));
    start = end + 1;
  }
  return true;
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Makes `path` (empty, or left as it is) as a signal to whoever waits for it.
inline void TouchFile(const std::wstring& path) {
  UniqueHandle made(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Decimal or 0x-prefixed hexadecimal, the whole text, within 32 bits.
inline bool ParseUnsigned32(const std::wstring& text, std::uint32_t& value) {
  if (text.empty()) {
    return false;
  }
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    begin += 2;
    base = 16;
  }
  unsigned long long parsed = std::wcstoull(begin, &end, base);
  if (end == begin || *end != L'\0' || parsed > 0xFFFFFFFFull || text[0] == L'-') {
    return false;
  }
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

// Wide text to the console as UTF-8, so a Unix reader gets the same bytes whatever the code page.
inline void PrintLine(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace harness

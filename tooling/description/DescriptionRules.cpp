// description_rules: the program's own rules for product settings and texts, answered for the
// build's check of a product description (tooling/description). Built for the build
// machine from the same pure sources as setup.exe, so that the build accepts exactly what the
// program accepts at run time.
//
// Reads one question per line from standard input and writes one answer line per question:
//
//   names                  ok, then the setting names the program reads
//   operations             ok, then the operation keywords it accepts
//   minimum-msi TEXT       ok NUMBER | no LOWEST     the MINIMUM_MSI rule
//   ini-name DATABASE      ok NAME | no LONGEST       the ini file name derived from DATABASE
//   operation TEXT         ok | no                    the OPERATION rule
//   identifier NAME        ok | no                    a feature or property name of a package
//   placeholders TEXT      ok, then each placeholder  the "%" sequences the program fills
//
// Fields are separated by a tab. Texts are UTF-8 with "\\", "\t", "\n" and "\r" written as
// those escapes; inside the program they are UTF-16 code units, as on Windows, so that lengths
// are counted as the program counts them.
#include <iostream>
#include <string>
#include <vector>

#include "config/FeatureSelection.h"
#include "config/SettingRules.h"
#include "sys/LineFormat.h"

namespace {

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// UTF-8 to UTF-16 code units, one per wchar_t; a malformed byte stands for itself.
std::wstring Widen(const std::string& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    char32_t point = extra == 3   ? byte & 0x07
                     : extra == 2 ? byte & 0x0F
                     : extra == 1 ? byte & 0x1F
                                  : byte;
    if (extra != 0 && i + extra >= text.size()) {
      extra = 0;
      point = byte;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += 1 + extra;
    if (point >= 0x10000) {
      point -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (point >> 10));
      out += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
    } else {
      out += static_cast<wchar_t>(point);
    }
  }
  return out;
}

void Append(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t point = static_cast<char32_t>(text[i]);
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) - 0xDC00);
    }
    Append(out, point);
  }
  return out;
}

std::string Answer(const std::string& question, const std::wstring& value) {
  if (question == "names" || question == "operations") {
    std::string out = "ok";
    if (question == "names") {
      for (const wchar_t* name : kSettingNames) {
        out += "\t" + Narrow(name);
      }
    } else {
      for (const wchar_t* keyword : kAcceptedOperations) {
        out += "\t" + Narrow(keyword);
      }
    }
    return out;
  }
  if (question == "minimum-msi") {
    std::uint32_t number = 0;
    return ParseMinimumMsi(value, number) ? "ok\t" + std::to_string(number)
                                          : "no\t" + std::to_string(kLowestMinimumMsi);
  }
  if (question == "ini-name") {
    std::wstring name;
    return DeriveIniFileName(value, name) ? "ok\t" + Escape(Narrow(name))
                                          : "no\t" + std::to_string(kIniFileNameCapacity - 1);
  }
  if (question == "operation") {
    return IsAcceptedOperation(value) ? "ok" : "no";
  }
  if (question == "package-signer") {
    return IsPackageSignerKeyword(value) ? "ok" : "no";
  }
  if (question == "identifier") {
    return IsInstallerIdentifier(value) ? "ok" : "no";
  }
  if (question == "placeholders") {
    std::string out = "ok";
    for (const std::wstring& placeholder : linefmt::Placeholders(value)) {
      out += "\t" + Escape(Narrow(placeholder));
    }
    return out;
  }
  return "error\tunknown question";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::size_t tab = line.find('\t');
    const std::string question = line.substr(0, tab);
    const std::string value = tab == std::string::npos ? std::string() : line.substr(tab + 1);
    std::cout << Answer(question, Widen(Unescape(value))) << '\n';
  }
  return std::cout.good() ? 0 : 1;
}

#include "sys/LineFormat.h"

#include <cstdint>

namespace linefmt {
namespace {

struct FieldFormat {
  bool leftAlign = false;
  bool zeroPad = false;
  bool plusSign = false;
  bool spaceSign = false;
  bool alternate = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
};

void Pad(std::wstring& out, std::size_t count, wchar_t c) { out.append(count, c); }

void EmitField(std::wstring& out, const FieldFormat& field, std::wstring_view sign,
               std::wstring_view prefix, std::wstring_view body) {
  const std::size_t length = sign.size() + prefix.size() + body.size();
  const std::size_t fill = field.width > length ? field.width - length : 0;
  if (field.leftAlign) {
    out.append(sign).append(prefix).append(body);
    Pad(out, fill, L' ');
  } else if (field.zeroPad && !field.hasPrecision) {
    out.append(sign).append(prefix);
    Pad(out, fill, L'0');
    out.append(body);
  } else {
    Pad(out, fill, L' ');
    out.append(sign).append(prefix).append(body);
  }
}

std::wstring Digits(std::uint32_t value, unsigned base, bool upper) {
  const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  wchar_t buffer[16];
  std::size_t n = 0;
  do {
    buffer[n++] = set[value % base];
    value /= base;
  } while (value != 0);
  std::wstring digits;
  while (n > 0) {
    digits.push_back(buffer[--n]);
  }
  return digits;
}

void EmitNumber(std::wstring& out, const FieldFormat& field, wchar_t conversion,
                std::uint32_t raw) {
  std::wstring sign;
  std::wstring prefix;
  std::wstring body;
  switch (conversion) {
    case L'd':
    case L'i': {
      const std::int32_t value = static_cast<std::int32_t>(raw);
      const std::uint32_t magnitude = value < 0 ? 0u - raw : raw;
      body = Digits(magnitude, 10, false);
      if (value < 0) {
        sign = L"-";
      } else if (field.plusSign) {
        sign = L"+";
      } else if (field.spaceSign) {
        sign = L" ";
      }
      break;
    }
    case L'u':
      body = Digits(raw, 10, false);
      break;
    case L'x':
    case L'X':
      body = Digits(raw, 16, conversion == L'X');
      if (field.alternate && raw != 0) {
        prefix = conversion == L'X' ? L"0X" : L"0x";
      }
      break;
    case L'o':
      body = Digits(raw, 8, false);
      break;
    default:
      break;
  }
  if (field.hasPrecision) {
    if (field.precision == 0 && raw == 0) {
      body.clear();
    } else if (body.size() < field.precision) {
      body.insert(0, field.precision - body.size(), L'0');
    }
  }
  EmitField(out, field, sign, prefix, body);
}

// Reads the flags, width, precision and length modifiers of a field whose "%" stands just
// before `i`; returns the position of its conversion character (the end when there is none).
std::size_t ParseField(std::wstring_view format, std::size_t i, FieldFormat& field) {
  for (; i < format.size(); ++i) {
    const wchar_t f = format[i];
    if (f == L'-') {
      field.leftAlign = true;
    } else if (f == L'0') {
      field.zeroPad = true;
    } else if (f == L'+') {
      field.plusSign = true;
    } else if (f == L' ') {
      field.spaceSign = true;
    } else if (f == L'#') {
      field.alternate = true;
    } else {
      break;
    }
  }
  // Widths and precisions are bounded so that a hostile format cannot ask for a huge field.
  constexpr std::size_t kMaxField = 4096;
  while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
    field.width = field.width * 10 + static_cast<std::size_t>(format[i] - L'0');
    if (field.width > kMaxField) {
      field.width = kMaxField;
    }
    ++i;
  }
  if (i < format.size() && format[i] == L'.') {
    field.hasPrecision = true;
    ++i;
    while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
      field.precision = field.precision * 10 + static_cast<std::size_t>(format[i] - L'0');
      if (field.precision > kMaxField) {
        field.precision = kMaxField;
      }
      ++i;
    }
  }
  while (i < format.size() && (format[i] == L'l' || format[i] == L'h' || format[i] == L'w')) {
    ++i;
  }
  return i;
}

}  // namespace

bool FormatBounded(std::wstring& out, std::wstring_view format, std::initializer_list<Arg> args,
                   std::size_t capacity) {
  out.clear();
  const Arg* next = args.begin();
  const Arg* const end = args.end();
  const Arg none{};
  auto take = [&]() -> const Arg& { return next != end ? *next++ : none; };

  std::size_t i = 0;
  while (i < format.size()) {
    const wchar_t c = format[i];
    if (c != L'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t start = i++;
    FieldFormat field;
    i = ParseField(format, i, field);
    if (i >= format.size()) {
      // A lone "%" at the end stays as it is.
      out.append(format.substr(start));
      break;
    }
    const wchar_t conversion = format[i++];
    switch (conversion) {
      case L'%':
        out.push_back(L'%');
        break;
      case L's':
      case L'S': {
        const Arg& arg = take();
        std::wstring_view value = arg.text ? std::wstring_view(arg.text) : std::wstring_view();
        if (field.hasPrecision && value.size() > field.precision) {
          value = value.substr(0, field.precision);
        }
        EmitField(out, field, {}, {}, value);
        break;
      }
      case L'c':
      case L'C': {
        const wchar_t ch = static_cast<wchar_t>(take().number);
        EmitField(out, field, {}, {}, std::wstring_view(&ch, 1));
        break;
      }
      case L'd':
      case L'i':
      case L'u':
      case L'x':
      case L'X':
      case L'o':
        EmitNumber(out, field, conversion, take().number);
        break;
      default:
        // Not a conversion this program uses: keep the text as written.
        out.append(format.substr(start, i - start));
        break;
    }
  }

  if (capacity == 0) {
    out.clear();
    return false;
  }
  if (out.size() > capacity - 1) {
    out.resize(capacity - 1);
    return false;
  }
  return true;
}

std::vector<std::wstring> Placeholders(std::wstring_view text) {
  std::vector<std::wstring> found;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != L'%') {
      ++i;
      continue;
    }
    const std::size_t start = i++;
    if (i < text.size() && text[i] >= L'1' && text[i] <= L'9') {
      // An insert of the system's message formatter: "%1" to "%99", perhaps with "!format!".
      while (i < text.size() && i - start < 3 && text[i] >= L'0' && text[i] <= L'9') {
        ++i;
      }
      if (i < text.size() && text[i] == L'!') {
        const std::size_t close = text.find(L'!', i + 1);
        i = close == std::wstring_view::npos ? text.size() : close + 1;
      }
    } else {
      FieldFormat field;
      i = ParseField(text, i, field);
      if (i < text.size()) {
        ++i;
      }
    }
    found.emplace_back(text.substr(start, i - start));
  }
  return found;
}

}  // namespace linefmt

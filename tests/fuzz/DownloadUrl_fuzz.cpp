// libFuzzer target for the URL composition and the /v command-line form: any base URL, file name,
// buffer size and command line, checked against what must hold for every input. Not part of the
// regular build (it needs clang); build and run it with
//   clang++ -std=c++17 -g -fsanitize=fuzzer,address,undefined -I Install/Bootstrapper \
//     tests/fuzz/DownloadUrl_fuzz.cpp Install/Bootstrapper/net/DownloadUrl.cpp \
//     Install/Bootstrapper/config/TextUtil.cpp Install/Bootstrapper/config/CommandLine.cpp \
//     -o /tmp/download-url-fuzz && /tmp/download-url-fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/CommandLine.h"
#include "net/DownloadUrl.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Splits the input into three wide texts at 0xFFFF code units; the first byte picks a capacity.
void Split(const std::uint8_t* data, std::size_t size, std::wstring parts[3], std::size_t& cut) {
  cut = size > 0 ? data[0] : 0;
  int part = 0;
  for (std::size_t i = 1; i + 1 < size && part < 3; i += 2) {
    const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == 0xFFFF) {
      ++part;
    } else if (part < 3) {
      parts[part].push_back(c);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring parts[3];
  std::size_t cut = 0;
  Split(data, size, parts, cut);
  const std::wstring& base = parts[0];
  const std::wstring& name = parts[1];

  // With the buffer the composition asks for, the URL is whole: base, one "/" unless the base
  // ends in one, the name.
  const std::size_t capacity = ComposedUrlCapacity(base, name);
  std::wstring url;
  Require(ComposeDownloadUrl(base, name, capacity, url));
  const bool slash = !base.empty() && base.back() == L'/';
  Require(url == base + (slash ? L"" : L"/") + name);
  Require(url.size() < capacity);

  // With any smaller buffer it either fails with a prefix of the URL that fills the buffer, or
  // (one character short, the slash already there) still fits.
  const std::size_t smaller = capacity > cut ? capacity - cut : 0;
  std::wstring partial = L"x";
  const bool fits = ComposeDownloadUrl(base, name, smaller, partial);
  Require(fits == (url.size() < smaller));
  if (fits) {
    Require(partial == url);
  } else {
    Require(partial == url.substr(0, smaller == 0 ? 0 : smaller - 1));
  }

  // The verification form: a file name it hands out is non-empty and holds no quote, and the same
  // text put back into the form is recognised again.
  std::wstring file;
  if (ParseVerificationCommandLine(parts[2], file)) {
    Require(!file.empty() && file.find(L'"') == std::wstring::npos);
    std::wstring again;
    Require(ParseVerificationCommandLine(L"/v \"" + file + L"\"", again) && again == file);
  }
  return 0;
}

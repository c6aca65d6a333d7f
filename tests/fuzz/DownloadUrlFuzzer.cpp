// The download URL composition and the /v command-line form: any base URL, file name, buffer
// shortfall and command line. Besides the sanitizers' findings, the rules' own promises are
// checked.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "config/CommandLine.h"
#include "net/DownloadUrl.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Base URL, file name, a text whose length is how much smaller a second buffer is, and a
  // command line.
  const auto texts = fuzz::WideTexts(data, size, 4);
  const std::wstring& base = texts[0];
  const std::wstring& name = texts[1];

  // With the buffer the composition asks for, the URL is whole: the base, one "/" unless the
  // base ends in one, the name.
  const std::size_t capacity = ComposedUrlCapacity(base, name);
  std::wstring url;
  Require(ComposeDownloadUrl(base, name, capacity, url));
  const bool slash = !base.empty() && base.back() == L'/';
  Require(url == base + (slash ? L"" : L"/") + name);
  Require(url.size() < capacity);

  // With a smaller buffer it fits exactly when the whole URL does, and otherwise reports failure
  // with the URL cut to the buffer, never a shorter URL that looks whole.
  const std::size_t shortfall = texts[2].size();
  const std::size_t smaller = capacity > shortfall ? capacity - shortfall : 0;
  std::wstring partial = L"x";
  const bool fits = ComposeDownloadUrl(base, name, smaller, partial);
  Require(fits == (url.size() < smaller));
  Require(partial == (fits ? url : url.substr(0, smaller == 0 ? 0 : smaller - 1)));

  // A file name the verification form hands out is non-empty and holds no quote, and put back
  // into the form as a first instance writes it, it is recognised again.
  std::wstring file;
  if (ParseVerificationCommandLine(texts[3], file)) {
    Require(!file.empty() && file.find(L'"') == std::wstring::npos);
    std::wstring again;
    Require(ParseVerificationCommandLine(L"/v \"" + file + L"\"", again) && again == file);
  }
  return 0;
}

// The command-line grammar with the administrative target path: any text, any folder of the
// executable. Besides the sanitizers' findings, the parser's own promises are checked.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "config/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto texts = fuzz::WideTexts(data, size, 2);
  RunOptions options;
  options.exeFolder = texts[1];
  std::size_t logged = 0;
  const CommandLineResult result =
      ParseCommandLine(texts[0], options, [&](const std::wstring& piece) {
        // A logged piece is never blank.
        if (piece.find_first_not_of(L" \t\r\n") == std::wstring::npos) {
          std::abort();
        }
        ++logged;
      });

  if ((result == CommandLineResult::Usage) != options.usageError()) {
    std::abort();
  }
  if (result != CommandLineResult::Usage) {
    const std::uint32_t level = options.uiLevel();
    if (level < 2 || level > 5) {
      std::abort();
    }
    // Forbidden combinations never survive.
    const bool admin = result == CommandLineResult::AdminInstall;
    const bool uninstall = result == CommandLineResult::Uninstall;
    if ((admin || uninstall) &&
        (options.writeIniFile() || (options.ignorePathCheck() && uninstall))) {
      std::abort();
    }
    if (options.writeIniFile() && (level == 2 || level == 4)) {
      std::abort();
    }
    if (admin) {
      const std::wstring& path = options.adminTargetPath;
      if (path.size() < 2 || path[path.size() - 2] != L'\\' ||
          path.find(L'"') == std::wstring::npos) {
        std::abort();
      }
    } else if (!options.adminTargetPath.empty()) {
      std::abort();
    }
  }
  (void)logged;
  return 0;
}

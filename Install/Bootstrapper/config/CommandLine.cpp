#include "config/CommandLine.h"

#include <utility>
#include <vector>

#include "config/TextUtil.h"

namespace {

constexpr std::wstring_view kSwitchCharacters = L"-/";

struct Option {
  wchar_t letter;
  std::wstring value;
};

bool IsSwitch(wchar_t c) { return c == L'-' || c == L'/'; }

// Something other than spaces before the first switch character, or switch characters with
// nothing to switch, make the whole text one option that is always rejected.
bool PassesScreening(std::wstring_view commandLine) {
  const std::size_t firstSwitch = commandLine.find_first_of(kSwitchCharacters);
  std::size_t firstOther = std::wstring_view::npos;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    const wchar_t c = commandLine[i];
    if (c != L' ' && !IsSwitch(c)) {
      firstOther = i;
      break;
    }
  }
  if (firstSwitch == std::wstring_view::npos) {
    return firstOther == std::wstring_view::npos;
  }
  if (firstOther == std::wstring_view::npos) {
    return false;
  }
  return firstSwitch < firstOther;
}

std::vector<Option> SplitOptions(std::wstring_view commandLine, const OptionLogger& logPiece) {
  std::vector<Option> options;
  for (const std::wstring& piece : text::SplitText(commandLine, kSwitchCharacters)) {
    if (piece.find_first_not_of(text::kBlanks) == std::wstring::npos) {
      continue;
    }
    if (logPiece) {
      logPiece(piece);
    }
    Option option{text::FoldLower(piece[0]), {}};
    if (piece.size() > 1) {
      option.value = text::TrimText(std::wstring_view(piece).substr(1));
    }
    options.push_back(std::move(option));
  }
  return options;
}

// Applies one option to `options`; false rejects the command line.
bool Interpret(const Option& option, RunOptions& options, bool& explicitFullUi) {
  const std::uint32_t mode = options.installMode();
  const std::uint32_t level = options.uiLevel();
  switch (option.letter) {
    case L'a':
      if (option.value.empty() || mode == kInstallModeUninstall || options.ignorePathCheck() ||
          options.writeIniFile()) {
        return false;
      }
      options.setInstallMode(kInstallModeAdmin);
      options.adminTargetPath = NormaliseAdminTargetPath(option.value, options.exeFolder);
      return true;

    case L'p':
      if (!option.value.empty() || mode == kInstallModeAdmin || mode == kInstallModeUninstall) {
        return false;
      }
      options.optionWord |= RunOptions::kIgnorePathCheck;
      return true;

    case L'q':
      if (option.value.empty()) {
        return true;
      }
      switch (text::FoldLower(option.value[0])) {
        case L'b':
          options.setUiLevel(kUiLevelBasic);
          return true;
        case L'f':
          if (mode == kInstallModeUninstall) {
            return false;
          }
          options.setUiLevel(kUiLevelFull);
          explicitFullUi = true;
          return true;
        case L'n':
          if (options.writeIniFile()) {
            return false;
          }
          options.setUiLevel(kUiLevelNone);
          return true;
        case L'r':
          if (options.writeIniFile() || mode == kInstallModeUninstall) {
            return false;
          }
          options.setUiLevel(kUiLevelReduced);
          return true;
        default:
          return false;
      }

    case L'w':
      if (!option.value.empty() || mode == kInstallModeAdmin || mode == kInstallModeUninstall ||
          level == kUiLevelNone || level == kUiLevelReduced) {
        return false;
      }
      options.optionWord |= RunOptions::kWriteIniFile;
      options.setInstallMode(kInstallModeNormal);
      if (level != kUiLevelBasic) {
        options.setUiLevel(kUiLevelFull);
      }
      return true;

    case L'x':
      if (!option.value.empty() || mode == kInstallModeAdmin || options.ignorePathCheck() ||
          explicitFullUi || level == kUiLevelReduced || options.writeIniFile()) {
        return false;
      }
      options.setInstallMode(kInstallModeUninstall);
      if (level != kUiLevelBasic && level != kUiLevelNone) {
        options.setUiLevel(kUiLevelBasic);
      }
      return true;

    default:
      return false;
  }
}

}  // namespace

std::wstring NormaliseAdminTargetPath(std::wstring_view value, std::wstring_view exeFolder) {
  std::wstring path(value);
  if (path.find(L':') == std::wstring::npos && !exeFolder.empty()) {
    const std::size_t quote = path.find(L'"');
    if (quote != std::wstring::npos) {
      // Any text before the first quote is dropped.
      path = L"\"" + std::wstring(exeFolder) + path.substr(quote + 1);
    } else {
      path = std::wstring(exeFolder) + path;
    }
  }
  if (path.find(L'"') == std::wstring::npos) {
    path = L"\"" + path + L"\"";
  }
  // The stored path ends in a backslash before its last character, normally the closing quote.
  if (path.size() < 2 || path[path.size() - 2] != L'\\') {
    path.insert(path.size() - 1, 1, L'\\');
  }
  return path;
}

CommandLineResult ParseCommandLine(std::wstring_view commandLine, RunOptions& options,
                                   const OptionLogger& logPiece) {
  std::vector<Option> list;
  if (PassesScreening(commandLine)) {
    list = SplitOptions(commandLine, logPiece);
  } else {
    // Never logged: it is not a piece of the command line.
    list.push_back(Option{L'!', {}});
  }

  bool explicitFullUi = false;
  for (const Option& option : list) {
    if (!Interpret(option, options, explicitFullUi)) {
      options.optionWord |= RunOptions::kUsageError;
      break;
    }
  }

  if (options.usageError()) {
    return CommandLineResult::Usage;
  }
  switch (options.installMode()) {
    case kInstallModeAdmin:
      return CommandLineResult::AdminInstall;
    case kInstallModeUninstall:
      return CommandLineResult::Uninstall;
    default:
      return CommandLineResult::Normal;
  }
}

bool ParseVerificationCommandLine(std::wstring_view commandLine, std::wstring& file) {
  // Only the exact form a first instance builds selects the mode: a switch character, the letter
  // v, and one file name in double quotes (which may hold "-" and "/"), with blanks around them.
  // Anything else, a lone /v included, is left to the ordinary grammar, which rejects the letter.
  std::wstring_view rest = commandLine;
  const auto skipBlanks = [&rest] {
    const std::size_t first = rest.find_first_not_of(text::kBlanks);
    rest.remove_prefix(first == std::wstring_view::npos ? rest.size() : first);
  };
  skipBlanks();
  if (rest.size() < 2 || !IsSwitch(rest[0]) || text::FoldLower(rest[1]) != L'v') {
    return false;
  }
  rest.remove_prefix(2);
  skipBlanks();
  if (rest.empty() || rest[0] != L'"') {
    return false;
  }
  const std::size_t closing = rest.find(L'"', 1);
  if (closing == std::wstring_view::npos || closing == 1) {
    return false;
  }
  const std::wstring_view name = rest.substr(1, closing - 1);
  rest.remove_prefix(closing + 1);
  skipBlanks();
  if (!rest.empty()) {
    return false;
  }
  file.assign(name);
  return true;
}

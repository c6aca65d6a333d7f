// The bootstrapper's command line: single-letter switches introduced by "/" or "-", read strictly
// from left to right against a small table of allowed combinations. Pure: no Windows headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Windows Installer user-interface levels (INSTALLUILEVEL values) as the option word holds them.
enum UiLevel : std::uint32_t {
  kUiLevelNone = 2,
  kUiLevelBasic = 3,
  kUiLevelReduced = 4,
  kUiLevelFull = 5,
};

enum class CommandLineResult : std::uint32_t {
  Normal = 0,
  Usage = 1,
  AdminInstall = 3,
  Uninstall = 4,
};

// Values of the option word's install-mode field (bits 8 to 12).
enum InstallMode : std::uint32_t {
  kInstallModeNormal = 0x10,
  kInstallModeAdmin = 0x12,
  kInstallModeUninstall = 0x13,
};

struct RunOptions {
  // Bits 0-3 UI level, bit 5 write ini file, bit 6 ignore path check, bits 8-12 install mode,
  // bit 15 usage error. A run starts as a normal installation with the full UI.
  std::uint32_t optionWord = kInitialOptionWord;
  // Target folder of an administrative installation, quoted and ending in a backslash.
  std::wstring adminTargetPath;
  // The executable's full path up to and including its last backslash.
  std::wstring exeFolder;

  static constexpr std::uint32_t kInitialOptionWord = 0x1005;
  static constexpr std::uint32_t kUiLevelMask = 0x0000000F;
  static constexpr std::uint32_t kWriteIniFile = 0x00000020;
  static constexpr std::uint32_t kIgnorePathCheck = 0x00000040;
  static constexpr std::uint32_t kInstallModeMask = 0x00001F00;
  static constexpr std::uint32_t kUsageError = 0x00008000;

  std::uint32_t uiLevel() const { return optionWord & kUiLevelMask; }
  bool silent() const { return uiLevel() == kUiLevelNone; }
  bool writeIniFile() const { return (optionWord & kWriteIniFile) != 0; }
  bool ignorePathCheck() const { return (optionWord & kIgnorePathCheck) != 0; }
  std::uint32_t installMode() const { return (optionWord & kInstallModeMask) >> 8; }
  bool usageError() const { return (optionWord & kUsageError) != 0; }

  void setUiLevel(std::uint32_t level) {
    optionWord = (optionWord & ~kUiLevelMask) | (level & kUiLevelMask);
  }
  void setInstallMode(std::uint32_t mode) {
    optionWord = (optionWord & ~kInstallModeMask) | ((mode << 8) & kInstallModeMask);
  }
};

// Receives each option piece, exactly as it was cut from the command line, for the log.
using OptionLogger = std::function<void(const std::wstring& piece)>;

// Turns the command line (the text after the program's name) into `options` and the run's mode.
// `options` comes in with the initial option word and `exeFolder` set.
CommandLineResult ParseCommandLine(std::wstring_view commandLine, RunOptions& options,
                                   const OptionLogger& logPiece);

// The stored form of an administrative target: taken relative to `exeFolder` unless it names a
// drive, enclosed in double quotes, ending in a backslash inside the quotes.
std::wstring NormaliseAdminTargetPath(std::wstring_view value, std::wstring_view exeFolder);

// True when the command line is exactly the verification form `/v "file"`, which a first
// instance uses to have a downloaded file's signature checked; `file` receives the file named.
bool ParseVerificationCommandLine(std::wstring_view commandLine, std::wstring& file);

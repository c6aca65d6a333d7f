// How the runtime redistributable is named and started: its path in the temporary folder and its
// command line. Pure: no Windows headers, compiled into setup.exe and into the host-native tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace runtime {

// Buffer sizes, terminator included.
inline constexpr std::size_t kPathCapacity = 260;
inline constexpr std::size_t kCommandLineCapacity = 520;

// `tempFolder` (ending in a backslash) + `fileName`. False when it does not fit; a cut path would
// name some other file.
bool ComposeRedistributablePath(std::wstring_view tempFolder, std::wstring_view fileName,
                                std::wstring& path);

// The path in double quotes, a space, then the arguments. The arguments are stored in a string
// table that cannot hold a double quote comfortably, so each apostrophe in them stands for one.
// False when it does not fit.
bool ComposeRedistributableCommandLine(std::wstring_view path, std::wstring_view arguments,
                                       std::wstring& commandLine);

}  // namespace runtime

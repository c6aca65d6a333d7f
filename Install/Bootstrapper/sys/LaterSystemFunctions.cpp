// Nothing of this file reaches the program: it only compiles. It sees the system headers as a
// program for Windows 8 sees them, where they declare the functions that the rest of the program
// (compiled for Windows XP) binds at run time with types of its own, and checks those types
// against the declarations. Calling conventions are part of a function's type in the 32-bit
// build, so a missing WINAPI fails it there.
#define _WIN32_WINNT 0x0602
#define WINVER 0x0602

#include "sys/LaterSystemFunctions.h"
// After <windows.h>, which it needs.
#include <ntsecapi.h>

#include <type_traits>

static_assert(_WIN32_WINNT == 0x0602, "sys/Win32.h must not choose the version first");

static_assert(
    std::is_same_v<GetFinalPathNameByHandleFunction, decltype(&::GetFinalPathNameByHandleW)>,
    "GetFinalPathNameByHandleW");
static_assert(std::is_same_v<CompareStringOrdinalFunction, decltype(&::CompareStringOrdinal)>,
              "CompareStringOrdinal");
static_assert(
    std::is_same_v<SetDefaultDllDirectoriesFunction, decltype(&::SetDefaultDllDirectories)>,
    "SetDefaultDllDirectories");
static_assert(std::is_same_v<SetDllDirectoryFunction, decltype(&::SetDllDirectoryW)>,
              "SetDllDirectoryW");
// The header names it RtlGenRandom, a macro for its exported name.
static_assert(std::is_same_v<GenerateRandomFunction, decltype(&::RtlGenRandom)>, "RtlGenRandom");

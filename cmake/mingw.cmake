# Cross-compiles for Windows with mingw-w64.
#   BOOTSTRAPPER_WINDOWS_ARCH    x86 (32-bit, what every product ships) or x64 (64-bit, built
#                                beside it for a product that asks for it, and for the tests on
#                                machines that run only 64-bit Windows programs)
#   BOOTSTRAPPER_MINGW_THREADS   the compiler variant: "win32" (no libwinpthread; what setup.exe
#                                and its tools are built with) or "posix" (std::mutex and
#                                std::thread, which GoogleTest needs)
set(CMAKE_SYSTEM_NAME Windows)

if(NOT DEFINED BOOTSTRAPPER_WINDOWS_ARCH)
  set(BOOTSTRAPPER_WINDOWS_ARCH x86)
endif()
set(BOOTSTRAPPER_WINDOWS_ARCH "${BOOTSTRAPPER_WINDOWS_ARCH}" CACHE STRING "x86 or x64")
if(NOT DEFINED BOOTSTRAPPER_MINGW_THREADS)
  set(BOOTSTRAPPER_MINGW_THREADS win32)
endif()
set(BOOTSTRAPPER_MINGW_THREADS "${BOOTSTRAPPER_MINGW_THREADS}" CACHE STRING "mingw-w64 thread model")

if(BOOTSTRAPPER_WINDOWS_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(_triplet x86_64-w64-mingw32)
  # The 64-bit loader itself: the wine script prefers the 32-bit one whenever it is installed.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
elseif(BOOTSTRAPPER_WINDOWS_ARCH STREQUAL "x86")
  set(CMAKE_SYSTEM_PROCESSOR i686)
  set(_triplet i686-w64-mingw32)
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
else()
  message(FATAL_ERROR "BOOTSTRAPPER_WINDOWS_ARCH is x86 or x64, not '${BOOTSTRAPPER_WINDOWS_ARCH}'")
endif()

if(BOOTSTRAPPER_MINGW_THREADS STREQUAL "posix")
  set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
else()
  set(CMAKE_C_COMPILER ${_triplet}-gcc-win32)
  set(CMAKE_CXX_COMPILER ${_triplet}-g++-win32)
endif()
set(CMAKE_RC_COMPILER ${_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

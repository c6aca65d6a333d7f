# Cross-compiles for 32-bit Windows with mingw-w64. BOOTSTRAPPER_MINGW_THREADS picks the
# compiler variant: "win32" (no libwinpthread; what setup.exe and its tools are built with) or
# "posix" (std::mutex and std::thread, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

if(NOT DEFINED BOOTSTRAPPER_MINGW_THREADS)
  set(BOOTSTRAPPER_MINGW_THREADS win32)
endif()
set(BOOTSTRAPPER_MINGW_THREADS "${BOOTSTRAPPER_MINGW_THREADS}" CACHE STRING "mingw-w64 thread model")

set(_triplet i686-w64-mingw32)
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

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# The host side of the build: native unit tests of the pure rules, the two Windows trees as
# external projects, and every test registered with CTest.
#   ctest -L host   pure rules, natively
#   ctest -L win    Windows unit tests under Wine
#   ctest -L e2e    setup.exe end to end under Wine, with a real Windows Installer
enable_testing()
include(ExternalProject)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(BOOTSTRAPPER_PRODUCT "${PROJECT_SOURCE_DIR}/products/demo/product.ini" CACHE FILEPATH
    "Product description that setup.exe is built for")
set(BOOTSTRAPPER_SIGNING_CERT "" CACHE FILEPATH "PEM certificate chain to sign with (leaf first)")
set(BOOTSTRAPPER_SIGNING_KEY "" CACHE FILEPATH "PEM private key of the signing certificate")
option(BOOTSTRAPPER_BUILD_TESTS "Build and register the tests" ON)
option(BOOTSTRAPPER_SANITIZE "Build the host-native tests with AddressSanitizer and UBSan" OFF)

set(BOOTSTRAPPER_WIN_BUILD ${CMAKE_BINARY_DIR}/windows)
set(BOOTSTRAPPER_WIN_UNIT_BUILD ${CMAKE_BINARY_DIR}/windows-unittests)
set(BOOTSTRAPPER_WORK ${CMAKE_BINARY_DIR}/work)

ExternalProject_Add(windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${BOOTSTRAPPER_WIN_BUILD}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DBOOTSTRAPPER_MINGW_THREADS=win32
    -DBOOTSTRAPPER_WINDOWS_PART=product
    -DCMAKE_BUILD_TYPE=Release
    -DBOOTSTRAPPER_PRODUCT=${BOOTSTRAPPER_PRODUCT}
    -DBOOTSTRAPPER_SIGNING_CERT=${BOOTSTRAPPER_SIGNING_CERT}
    -DBOOTSTRAPPER_SIGNING_KEY=${BOOTSTRAPPER_SIGNING_KEY}
    -DBOOTSTRAPPER_BUILD_TESTS=${BOOTSTRAPPER_BUILD_TESTS}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON)

if(NOT BOOTSTRAPPER_BUILD_TESTS)
  return()
endif()

ExternalProject_Add(windows-unittests
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${BOOTSTRAPPER_WIN_UNIT_BUILD}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DBOOTSTRAPPER_MINGW_THREADS=posix
    -DBOOTSTRAPPER_WINDOWS_PART=unittests
    -DCMAKE_BUILD_TYPE=Release
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON
  DEPENDS windows)

add_subdirectory(${PROJECT_SOURCE_DIR}/tests/host tests/host)
include(${PROJECT_SOURCE_DIR}/tests/Register.cmake)

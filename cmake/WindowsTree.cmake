# The Windows side of the build, cross-compiled with mingw-w64 (see mingw.cmake).
#   BOOTSTRAPPER_WINDOWS_PART=product   setup.exe for BOOTSTRAPPER_PRODUCT, and everything the
#                                       end-to-end tests run: variants, harness, stand-ins, packages
#   BOOTSTRAPPER_WINDOWS_PART=unittests the Windows unit tests (needs the posix-threads compiler)
enable_language(RC)

set(BOOTSTRAPPER_WINDOWS_PART "product" CACHE STRING "product or unittests")
set(BOOTSTRAPPER_PRODUCT "${PROJECT_SOURCE_DIR}/products/demo/product.ini" CACHE FILEPATH
    "Product description that setup.exe is built for")
option(BOOTSTRAPPER_BUILD_TESTS "Build what the tests run besides setup.exe" ON)
set(BOOTSTRAPPER_UPLOAD_DIR ${CMAKE_BINARY_DIR}/upload CACHE PATH
    "Where a download product's package for its server is written")

set(BOOTSTRAPPER_WARNINGS -Wall -Wextra)
# Small, static and loadable by Windows XP SP3.
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
add_compile_options(-ffunction-sections -fdata-sections)
# Sections lie in the file at the same 4 KiB alignment as in memory, so that Wine maps them from
# the file as Windows does; with the default 512-byte alignment Wine reads every section, the
# payloads included, into private memory when the image is loaded.
set(BOOTSTRAPPER_IMAGE_LINK_OPTIONS
  -static -s -Wl,--gc-sections -Wl,--file-alignment,4096
  -Wl,--major-subsystem-version,5,--minor-subsystem-version,1
  -Wl,--major-os-version,5,--minor-os-version,1)
set(BOOTSTRAPPER_GUI_LINK_OPTIONS -municode -mwindows ${BOOTSTRAPPER_IMAGE_LINK_OPTIONS})

include(${PROJECT_SOURCE_DIR}/cmake/Tooling.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/Reproducible.cmake)
# The linker stamps each image's PE header with SOURCE_DATE_EPOCH when it is set.
foreach(lang C CXX)
  set(CMAKE_${lang}_LINKER_LAUNCHER
      ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${BOOTSTRAPPER_SOURCE_DATE_EPOCH})
endforeach()
include(${PROJECT_SOURCE_DIR}/cmake/Signing.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/SetupVariant.cmake)

add_subdirectory(${BOOTSTRAPPER_SOURCE_DIR} bootstrapper)

if(BOOTSTRAPPER_WINDOWS_PART STREQUAL "unittests")
  enable_testing()
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest googletest EXCLUDE_FROM_ALL)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/win tests/win)
else()
  # Targets that make the files which product descriptions name as payloads; every variant of
  # setup.exe waits for them (a product's directory adds its own).
  add_custom_target(product_payloads)
  add_subdirectory(${PROJECT_SOURCE_DIR}/products/demo products/demo)
  add_setup_variant(setup RELEASE
    DESCRIPTION ${BOOTSTRAPPER_PRODUCT}
    VARS PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR}
    DEPENDS demo_package)
  if(BOOTSTRAPPER_BUILD_TESTS)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows tests/windows)
  endif()
  # Built only on request (make bench): its payloads are large.
  add_subdirectory(${PROJECT_SOURCE_DIR}/bench bench EXCLUDE_FROM_ALL)
endif()

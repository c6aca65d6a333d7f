# The Windows side of the build, cross-compiled with mingw-w64 (see mingw.cmake).
#   BOOTSTRAPPER_WINDOWS_PART=product   setup.exe for BOOTSTRAPPER_PRODUCT, and everything the
#                                       end-to-end tests run: variants, harness, stand-ins, packages
#   BOOTSTRAPPER_WINDOWS_PART=unittests the Windows unit tests (needs the posix-threads compiler)
enable_language(RC)

set(BOOTSTRAPPER_WINDOWS_PART "product" CACHE STRING "product or unittests")
set(BOOTSTRAPPER_PRODUCT "${PROJECT_SOURCE_DIR}/products/demo/product.ini" CACHE STRING
    "Product descriptions that setup.exe is built for: one file, or a list (a.ini;b.ini)")
option(BOOTSTRAPPER_BUILD_TESTS "Build what the tests run besides setup.exe" ON)
set(BOOTSTRAPPER_OUTPUT_DIR ${CMAKE_BINARY_DIR}/out CACHE PATH
    "Where each description's setup.exe goes, in a folder named after it (see Products.cmake)")

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
include(${PROJECT_SOURCE_DIR}/cmake/Products.cmake)

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
  # The demo product's package and the stand-ins for the vendor's redistributables are built
  # for the tests, and for a description that names what that folder holds (${PRODUCT_BUILD});
  # a release tree of another product builds none of them.
  set(demo_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
  set(BOOTSTRAPPER_DEMO_BUILD_DIR ${CMAKE_BINARY_DIR}/products/demo)
  set(demo_wanted ${BOOTSTRAPPER_BUILD_TESTS})
  foreach(description IN LISTS BOOTSTRAPPER_PRODUCT)
    bootstrapper_description_facts(described ${description})
    if("PRODUCT_BUILD" IN_LIST described_VARIABLES)
      set(demo_wanted ON)
    endif()
  endforeach()
  set(demo_depends)
  if(demo_wanted)
    add_subdirectory(${PROJECT_SOURCE_DIR}/products/demo products/demo)
    set(demo_depends demo_package)
  endif()
  # What ships: each description's setup.exe in its output folder, the 64-bit one in the x64
  # folder of it where the description asks for one. The target products builds them alone.
  add_custom_target(products)
  foreach(description IN LISTS BOOTSTRAPPER_PRODUCT)
    bootstrapper_description_name(name ${description} target)
    set(folder ${BOOTSTRAPPER_OUTPUT_DIR}/${name})
    set(output ${folder})
    if(BOOTSTRAPPER_WINDOWS_ARCH STREQUAL "x64")
      bootstrapper_description_facts(described ${description})
      if(NOT described_X64)
        continue()
      endif()
      set(output ${folder}/x64)
    endif()
    add_setup_variant(${target} RELEASE DESCRIPTION ${description}
      VARS PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR} DEPENDS ${demo_depends}
      OUTPUT ${output}/setup.exe UPLOAD_DIR ${folder}/upload)
  endforeach()
  if(BOOTSTRAPPER_BUILD_TESTS)
    # The tests' setup.exe: the demo product as its description says, whatever ships.
    add_setup_variant(setup DESCRIPTION ${demo_description}
      VARS PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR} DEPENDS demo_package)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows tests/windows)
  endif()
  # Built only on request (make bench): its payloads are large. It builds on the demo.
  if(demo_wanted)
    add_subdirectory(${PROJECT_SOURCE_DIR}/bench bench EXCLUDE_FROM_ALL)
  endif()
endif()

# Everything linked follows the build's moment (see Reproducible.cmake).
bootstrapper_follow_epoch(${PROJECT_SOURCE_DIR})

# The host side of the build: native unit tests of the pure rules, the two Windows trees as
# external projects, and every test registered with CTest.
#   ctest -L host   pure rules, natively
#   ctest -L win    Windows unit tests under Wine
#   ctest -L e2e    setup.exe end to end under Wine, with a real Windows Installer
enable_testing()
include(ExternalProject)
include(${PROJECT_SOURCE_DIR}/cmake/Tooling.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/Reproducible.cmake)

set(BOOTSTRAPPER_PRODUCT "${PROJECT_SOURCE_DIR}/products/demo/product.ini" CACHE STRING
    "Product descriptions that setup.exe is built for: one file, or a list (a.ini;b.ini)")
# Each named relative to where cmake was started.
set(absolute)
foreach(description IN LISTS BOOTSTRAPPER_PRODUCT)
  get_filename_component(description "${description}" ABSOLUTE BASE_DIR "$ENV{PWD}")
  list(APPEND absolute ${description})
endforeach()
set_property(CACHE BOOTSTRAPPER_PRODUCT PROPERTY VALUE "${absolute}")
option(BOOTSTRAPPER_BUILD_TESTS "Build and register the tests" ON)
option(BOOTSTRAPPER_SANITIZE "Build the host-native tests with AddressSanitizer and UBSan" OFF)

# Release signing options, checked here so that a signer that cannot work stops the build before
# anything is built or signed.
include(${PROJECT_SOURCE_DIR}/cmake/SigningOptions.cmake)

# The program's own rules for the check of product descriptions, built for this machine from
# setup.exe's pure sources before the Windows tree is configured (see tooling/description/rules.py).
add_executable(description_rules ${BOOTSTRAPPER_TOOLING_DIR}/description/DescriptionRules.cpp
               ${BOOTSTRAPPER_PURE_SOURCES})
target_include_directories(description_rules PRIVATE ${BOOTSTRAPPER_SOURCE_DIR})
target_compile_options(description_rules PRIVATE -Wall -Wextra)
set_target_properties(description_rules PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
set(BOOTSTRAPPER_RULES_TOOL ${CMAKE_BINARY_DIR}/tools/description_rules)

set(BOOTSTRAPPER_WIN_BUILD ${CMAKE_BINARY_DIR}/windows)
set(BOOTSTRAPPER_WIN_BUILD_X64 ${CMAKE_BINARY_DIR}/windows-x64)
set(BOOTSTRAPPER_WIN_UNIT_BUILD ${CMAKE_BINARY_DIR}/windows-unittests)
set(BOOTSTRAPPER_WIN_UNIT_BUILD_X64 ${CMAKE_BINARY_DIR}/windows-unittests-x64)
set(BOOTSTRAPPER_WORK ${CMAKE_BINARY_DIR}/work)

include(${PROJECT_SOURCE_DIR}/cmake/Products.cmake)
set(BOOTSTRAPPER_OUTPUT_DIR ${CMAKE_BINARY_DIR}/out)

# Each product description is checked now, as the build is configured: a mistake stops the
# configuration with its findings alone, one "file:line: error: sentence" each, printed by the
# check itself, before anything is built. The program's rules come from description_rules,
# compiled once for this check into the build tree (the build makes its own as well). The
# files that the build makes are looked at when it has made them.
set(BOOTSTRAPPER_DESCRIPTION_ERRORS)
set(BOOTSTRAPPER_PRODUCT_X64 OFF)
set(names)
set(targets)
set(x64_names)
foreach(description IN LISTS BOOTSTRAPPER_PRODUCT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${description})
  bootstrapper_description_name(name ${description} target)
  # Two names that differ only where a target name cannot follow them collide as targets.
  list(FIND names "${name}" first)
  if(first EQUAL -1)
    list(FIND targets "${target}" first)
  endif()
  if(NOT first EQUAL -1)
    list(GET BOOTSTRAPPER_PRODUCT ${first} other)
    message(FATAL_ERROR "Two product descriptions are named ${name}: ${other} and "
            "${description}; each setup.exe goes to an output folder named after its "
            "description's file name without .ini: rename one of them.")
  endif()
  list(APPEND names "${name}")
  list(APPEND targets "${target}")
  execute_process(
    COMMAND ${BOOTSTRAPPER_TOOLING} tooling.resources --check --description ${description}
            --var PRODUCT_BUILD=${BOOTSTRAPPER_WIN_BUILD}/products/demo
            --rules-cache ${CMAKE_BINARY_DIR}/tools/configure
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(APPEND BOOTSTRAPPER_DESCRIPTION_ERRORS ${description})
    continue()
  endif()
  # Whether it asks for a 64-bit setup.exe beside the 32-bit one ([build] x64).
  bootstrapper_description_facts(described ${description})
  if(described_X64)
    set(BOOTSTRAPPER_PRODUCT_X64 ON)
    list(APPEND x64_names ${name})
  endif()
endforeach()
if(BOOTSTRAPPER_DESCRIPTION_ERRORS)
  # CMakeLists.txt stops the configuration, where CMake adds no call stack to the message.
  return()
endif()

# What a description no longer asks for goes from the output folders: the folder of a
# description that is no longer built, the x64 folder of one without [build] x64 = on. (The
# upload folder is emptied of what the description no longer names when it is written.)
file(GLOB outputs LIST_DIRECTORIES true ${BOOTSTRAPPER_OUTPUT_DIR}/*)
foreach(folder IN LISTS outputs)
  get_filename_component(name ${folder} NAME)
  if(NOT name IN_LIST names)
    file(REMOVE_RECURSE ${folder})
  elseif(NOT name IN_LIST x64_names)
    file(REMOVE_RECURSE ${folder}/x64)
  endif()
endforeach()
# Where the package for the server went before each description had its own folder.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/upload)

# The build's one test publisher, which every Windows tree signs with (see Signing.cmake).
include(${PROJECT_SOURCE_DIR}/cmake/TestPublisher.cmake)
set(BOOTSTRAPPER_TEST_PUBLISHER ${CMAKE_BINARY_DIR}/signing/publisher)
bootstrapper_make_test_publisher(${BOOTSTRAPPER_TEST_PUBLISHER} "Bootstrapper Test Publisher")
# The list goes to the Windows trees with "|" between its files (ExternalProject's separator).
string(REPLACE ";" "|" products "${BOOTSTRAPPER_PRODUCT}")

# Which flavours of the Windows programs the tests run: decided once per configuration by
# running a 32-bit and a 64-bit test program under Wine (tests/e2e/testbed/flavours.py).
set(BOOTSTRAPPER_RUNS_32BIT ON)
if(BOOTSTRAPPER_BUILD_TESTS)
  include(${PROJECT_SOURCE_DIR}/tests/Flavours.cmake)
endif()

# The Windows tree that builds what the tests run besides setup.exe (packages, variants, tools).
if(BOOTSTRAPPER_RUNS_32BIT)
  set(BOOTSTRAPPER_WIN_TEST_BUILD ${BOOTSTRAPPER_WIN_BUILD})
else()
  set(BOOTSTRAPPER_WIN_TEST_BUILD ${BOOTSTRAPPER_WIN_BUILD_X64})
endif()

# bootstrapper_windows_tree(<target> <binary dir> <x86|x64> <win32|posix> <product|unittests>
#                           BUILD_TESTS <ON|OFF> [DEPENDS <target>...] [BUILD_AFTER <target>])
# BUILD_AFTER orders only the tree's build after a target; it is configured independently.
function(bootstrapper_windows_tree target dir arch threads part)
  cmake_parse_arguments(T "" "BUILD_TESTS;BUILD_AFTER" "DEPENDS" ${ARGN})
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    LIST_SEPARATOR |
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw.cmake
      -DBOOTSTRAPPER_WINDOWS_ARCH=${arch}
      -DBOOTSTRAPPER_MINGW_THREADS=${threads}
      -DBOOTSTRAPPER_WINDOWS_PART=${part}
      -DCMAKE_BUILD_TYPE=Release
      -DBOOTSTRAPPER_PRODUCT=${products}
      ${BOOTSTRAPPER_SIGNING_CMAKE_ARGS}
      -DBOOTSTRAPPER_OUTPUT_DIR=${BOOTSTRAPPER_OUTPUT_DIR}
      -DBOOTSTRAPPER_BUILD_TESTS=${T_BUILD_TESTS}
      -DBOOTSTRAPPER_RULES_TOOL=${BOOTSTRAPPER_RULES_TOOL}
      -DBOOTSTRAPPER_SOURCE_DATE_EPOCH=${BOOTSTRAPPER_SOURCE_DATE_EPOCH}
      -DBOOTSTRAPPER_TEST_PUBLISHER=${BOOTSTRAPPER_TEST_PUBLISHER}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON
    # <target>-configure alone, for a command that then builds only some of the tree's targets.
    STEP_TARGETS configure
    DEPENDS ${T_DEPENDS})
  if(T_BUILD_AFTER)
    ExternalProject_Add_StepDependencies(${target} build ${T_BUILD_AFTER})
  endif()
  if(part STREQUAL "product")
    # <target>-products: what ships from this tree and nothing else, its tests left out. Run
    # by make as make runs the build step, sharing its jobs.
    if(CMAKE_GENERATOR MATCHES "Make")
      set(command $(MAKE) products)
    else()
      set(command ${CMAKE_COMMAND} --build <BINARY_DIR> --target products)
    endif()
    ExternalProject_Add_Step(${target} products
      COMMAND ${command}
      WORKING_DIRECTORY <BINARY_DIR>
      DEPENDEES configure
      ALWAYS ON
      EXCLUDE_FROM_MAIN ON
      USES_TERMINAL ON)
    ExternalProject_Add_StepTargets(${target} products)
    if(T_BUILD_AFTER)
      ExternalProject_Add_StepDependencies(${target} products ${T_BUILD_AFTER}-products)
    endif()
  endif()
endfunction()

# The 32-bit setup.exe always; what the end-to-end tests run in the 32-bit flavour (packages,
# variants, harness) only where it runs.
if(BOOTSTRAPPER_BUILD_TESTS AND BOOTSTRAPPER_RUNS_32BIT)
  set(x86_tests ON)
else()
  set(x86_tests OFF)
endif()
bootstrapper_windows_tree(windows ${BOOTSTRAPPER_WIN_BUILD} x86 win32 product
  BUILD_TESTS ${x86_tests} DEPENDS description_rules)
# The 64-bit one where a description asks for it, and for the tests' x64 flavour. Built after
# the 32-bit tree, which writes a download product's package for its server, that both check.
if(BOOTSTRAPPER_PRODUCT_X64 OR BOOTSTRAPPER_BUILD_TESTS)
  bootstrapper_windows_tree(windows-x64 ${BOOTSTRAPPER_WIN_BUILD_X64} x64 win32 product
    BUILD_TESTS ${BOOTSTRAPPER_BUILD_TESTS} DEPENDS description_rules BUILD_AFTER windows)
endif()
# What ships, every file that the descriptions ask for and nothing else: the documented build
# command, cmake --build <tree> --target products.
add_custom_target(products)
add_dependencies(products windows-products)
if(BOOTSTRAPPER_PRODUCT_X64)
  add_dependencies(products windows-x64-products)
endif()

if(NOT BOOTSTRAPPER_BUILD_TESTS)
  return()
endif()

# The Windows unit tests: the 32-bit ones on every machine, also where they cannot run (their
# tests are then reported as skipped), since building them is a check of its own: what only the
# 32-bit compiler can see, calling conventions above all, fails that build, in the program's
# code and in the tests' stand-ins for system functions alike. The 64-bit ones where the tests
# run in that flavour.
bootstrapper_windows_tree(windows-unittests ${BOOTSTRAPPER_WIN_UNIT_BUILD} x86 posix unittests
  BUILD_TESTS ON DEPENDS windows)
if(NOT BOOTSTRAPPER_RUNS_32BIT)
  bootstrapper_windows_tree(windows-unittests-x64 ${BOOTSTRAPPER_WIN_UNIT_BUILD_X64} x64 posix
    unittests BUILD_TESTS ON DEPENDS windows-x64)
endif()

add_subdirectory(${PROJECT_SOURCE_DIR}/tests/host tests/host)
include(${PROJECT_SOURCE_DIR}/tests/Register.cmake)

# Fuzz targets and the sanitized unit tests need clang's libFuzzer.
find_program(BOOTSTRAPPER_CLANGXX clang++)
if(BOOTSTRAPPER_CLANGXX)
  set(BOOTSTRAPPER_FUZZ_BUILD ${CMAKE_BINARY_DIR}/fuzz)
  set(BOOTSTRAPPER_FUZZ_SECONDS 30 CACHE STRING "How long CTest fuzzes each target")
  ExternalProject_Add(fuzz
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz
    BINARY_DIR ${BOOTSTRAPPER_FUZZ_BUILD}
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${BOOTSTRAPPER_CLANGXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  add_test(NAME host.sanitized COMMAND ${BOOTSTRAPPER_FUZZ_BUILD}/host_unit_tests_sanitized)
  set_tests_properties(host.sanitized PROPERTIES LABELS host)
  file(GLOB fuzzers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*Fuzzer.cpp)
  foreach(source IN LISTS fuzzers)
    get_filename_component(name ${source} NAME_WE)
    add_test(NAME fuzz.${name}
             COMMAND sh ${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.sh ${BOOTSTRAPPER_FUZZ_BUILD}/${name}
                     ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name}
                     ${BOOTSTRAPPER_WORK}/fuzz/${name} ${BOOTSTRAPPER_FUZZ_SECONDS})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  endforeach()
endif()

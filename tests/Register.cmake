# Registers the Windows unit tests and the end-to-end scenarios with CTest. Both run under Wine,
# in prefixes and on displays that the test tooling makes and removes itself.
#
# Each runs in a flavour: x86 (the 32-bit programs, named as the test file: e2e.main_road) or
# x64 (the 64-bit build of the same sources: e2e.main_road.x64). Where this machine runs 32-bit
# programs, every test runs for x86, and the scenarios that differ by flavour run for x64 too.
# Where it cannot (BOOTSTRAPPER_RUNS_32BIT, decided by tests/Flavours.cmake), every test runs for
# x64 and the x86 ones are reported as skipped, with the reason in their output.
set(runner ${PROJECT_SOURCE_DIR}/tests/tools/run_windows_test.py)
if(BOOTSTRAPPER_RUNS_32BIT)
  set(runs_32bit 1)
else()
  set(runs_32bit 0)
endif()
set(common_environment
  BOOTSTRAPPER_BUILD_DIR=${CMAKE_BINARY_DIR}
  BOOTSTRAPPER_WORK=${BOOTSTRAPPER_WORK}
  BOOTSTRAPPER_SOURCE=${PROJECT_SOURCE_DIR}
  BOOTSTRAPPER_RULES_TOOL=${BOOTSTRAPPER_RULES_TOOL}
  BOOTSTRAPPER_RUNS_32BIT=${runs_32bit}
  "BOOTSTRAPPER_64BIT_ONLY=$ENV{BOOTSTRAPPER_64BIT_ONLY}"
  PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/e2e
  PYTHONDONTWRITEBYTECODE=1)
set(x86_environment ${common_environment} BOOTSTRAPPER_FLAVOUR=x86
  BOOTSTRAPPER_WIN_BUILD=${BOOTSTRAPPER_WIN_BUILD}
  BOOTSTRAPPER_WIN_UNIT_BUILD=${BOOTSTRAPPER_WIN_UNIT_BUILD})
set(x64_environment ${common_environment} BOOTSTRAPPER_FLAVOUR=x64
  BOOTSTRAPPER_WIN_BUILD=${BOOTSTRAPPER_WIN_BUILD_X64}
  BOOTSTRAPPER_WIN_UNIT_BUILD=${BOOTSTRAPPER_WIN_UNIT_BUILD_X64})

# The end-to-end files whose scenarios differ by flavour (registry views, system folders, the
# prerequisites' choice, the programs' own signatures): where both flavours run, these run for
# x64 as well.
set(flavour_scenarios main_road runtime_prerequisite xml_parser_prerequisite engine_upgrade
    trust download cleanup start_up)

set(skip_reason "needs 32-bit Windows programs, which this machine cannot run")

# bootstrapper_flavour_test(<name> <label> <x86|x64> [RESOURCE_LOCK <lock>] [TIMEOUT <s>]
#                           [WORKING_DIRECTORY <dir>] COMMAND <command>...)
# An x86 test where no 32-bit program runs is registered as skipped: it prints the reason and
# ends with the code CTest counts as a skip.
function(bootstrapper_flavour_test name label flavour)
  cmake_parse_arguments(T "" "RESOURCE_LOCK;TIMEOUT;WORKING_DIRECTORY" "COMMAND" ${ARGN})
  if(flavour STREQUAL "x86" AND NOT BOOTSTRAPPER_RUNS_32BIT)
    add_test(NAME ${name}
             COMMAND ${Python3_EXECUTABLE} -c "print('${name}: ${skip_reason}'); raise SystemExit(77)")
    set_tests_properties(${name} PROPERTIES LABELS "${label}" SKIP_RETURN_CODE 77)
    return()
  endif()
  set(dir ${PROJECT_SOURCE_DIR})
  if(T_WORKING_DIRECTORY)
    set(dir ${T_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND} WORKING_DIRECTORY ${dir})
  set_tests_properties(${name} PROPERTIES LABELS "${label}" TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "${${flavour}_environment}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
endfunction()

file(GLOB windows_unit_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win/*_test.cpp)
foreach(source IN LISTS windows_unit_tests)
  get_filename_component(name ${source} NAME_WE)
  bootstrapper_flavour_test(win.${name} win x86 TIMEOUT 600
    COMMAND ${Python3_EXECUTABLE} ${runner} ${BOOTSTRAPPER_WIN_UNIT_BUILD}/tests/win/${name}.exe)
  if(NOT BOOTSTRAPPER_RUNS_32BIT)
    bootstrapper_flavour_test(win.${name}.x64 win x64 TIMEOUT 600
      COMMAND ${Python3_EXECUTABLE} ${runner}
              ${BOOTSTRAPPER_WIN_UNIT_BUILD_X64}/tests/win/${name}.exe)
  endif()
endforeach()

file(GLOB e2e_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(source IN LISTS e2e_tests)
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "^test_" "" short ${name})
  # The download variants carry a base URL with a port fixed at build time: the files whose
  # servers listen on it take turns, whatever their flavour.
  file(READ ${source} content)
  string(FIND "${content}" "download_port" uses_port)
  set(lock)
  if(NOT uses_port EQUAL -1)
    set(lock RESOURCE_LOCK download_port)
  endif()
  set(command COMMAND ${Python3_EXECUTABLE} -m unittest -v ${name})
  # The release scenarios build a tree of products of their own, in both flavours.
  set(timeout 900)
  if(short STREQUAL "release")
    set(timeout 1800)
  endif()
  bootstrapper_flavour_test(e2e.${short} e2e x86 TIMEOUT ${timeout} ${lock}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/e2e ${command})
  if(NOT BOOTSTRAPPER_RUNS_32BIT OR short IN_LIST flavour_scenarios)
    bootstrapper_flavour_test(e2e.${short}.x64 e2e x64 TIMEOUT ${timeout} ${lock}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/e2e ${command})
  endif()
endforeach()

# Static checks that both setup.exe load on Windows XP (headers, imports, loader features).
add_test(NAME compat.xp_compatibility
         COMMAND ${Python3_EXECUTABLE} -m unittest -v test_xp_compatibility
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/compat)
set_tests_properties(compat.xp_compatibility PROPERTIES LABELS compat TIMEOUT 60
  ENVIRONMENT "${x86_environment};BOOTSTRAPPER_WIN_BUILD_X64=${BOOTSTRAPPER_WIN_BUILD_X64};BOOTSTRAPPER_OUTPUT_DIR=${BOOTSTRAPPER_OUTPUT_DIR}")

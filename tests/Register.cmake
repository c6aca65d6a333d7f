# Registers the Windows unit tests and the end-to-end scenarios with CTest. Both run under Wine,
# in prefixes and on displays that the test tooling makes and removes itself.
set(runner ${PROJECT_SOURCE_DIR}/tests/tools/run_windows_test.py)
set(test_environment
  BOOTSTRAPPER_WIN_BUILD=${BOOTSTRAPPER_WIN_BUILD}
  BOOTSTRAPPER_WIN_UNIT_BUILD=${BOOTSTRAPPER_WIN_UNIT_BUILD}
  BOOTSTRAPPER_WORK=${BOOTSTRAPPER_WORK}
  BOOTSTRAPPER_SOURCE=${PROJECT_SOURCE_DIR}
  BOOTSTRAPPER_RULES_TOOL=${BOOTSTRAPPER_RULES_TOOL}
  PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/e2e
  PYTHONDONTWRITEBYTECODE=1)

file(GLOB windows_unit_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win/*_test.cpp)
foreach(source IN LISTS windows_unit_tests)
  get_filename_component(name ${source} NAME_WE)
  add_test(NAME win.${name}
           COMMAND ${Python3_EXECUTABLE} ${runner} ${BOOTSTRAPPER_WIN_UNIT_BUILD}/tests/win/${name}.exe)
  set_tests_properties(win.${name} PROPERTIES LABELS win TIMEOUT 600
                       ENVIRONMENT "${test_environment}")
endforeach()

file(GLOB e2e_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(source IN LISTS e2e_tests)
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "^test_" "" short ${name})
  add_test(NAME e2e.${short}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${name}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/e2e)
  set_tests_properties(e2e.${short} PROPERTIES LABELS e2e TIMEOUT 900
                       ENVIRONMENT "${test_environment}")
  # The download variants carry a base URL with a port fixed at build time: the files whose
  # servers listen on it take turns.
  file(READ ${source} content)
  string(FIND "${content}" "download_port" uses_port)
  if(NOT uses_port EQUAL -1)
    set_tests_properties(e2e.${short} PROPERTIES RESOURCE_LOCK download_port)
  endif()
endforeach()

# Static checks that setup.exe loads on Windows XP SP3 (headers, imports, loader features).
add_test(NAME compat.xp_compatibility
         COMMAND ${Python3_EXECUTABLE} -m unittest -v test_xp_compatibility
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/compat)
set_tests_properties(compat.xp_compatibility PROPERTIES LABELS compat TIMEOUT 60
                     ENVIRONMENT "${test_environment}")

# Decides which flavours of the Windows programs this machine runs, by running them: a tiny
# console program built for 32-bit and for 64-bit Windows, under Wine (testbed/flavours.py).
# Sets BOOTSTRAPPER_RUNS_32BIT in the including scope. Some machines cannot run 32-bit programs
# at all; there the tests run with the x64 flavour and the x86 ones are reported as skipped.
# BOOTSTRAPPER_64BIT_ONLY=1 in the environment makes any machine decide as one of those.
set(testbed_dir ${CMAKE_BINARY_DIR}/testbed)
file(MAKE_DIRECTORY ${testbed_dir})
set(probe_source ${PROJECT_SOURCE_DIR}/tests/tools/flavour_probe.c)
foreach(pair "x86;i686" "x64;x86_64")
  list(GET pair 0 arch)
  list(GET pair 1 cpu)
  execute_process(
    COMMAND ${cpu}-w64-mingw32-gcc -Os -s -o ${testbed_dir}/probe-${arch}.exe ${probe_source}
    RESULT_VARIABLE result ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot build the test bed's ${arch} probe with ${cpu}-w64-mingw32-gcc "
                        "(run scripts/setup-machine.sh): ${error}")
  endif()
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env BOOTSTRAPPER_WORK=${BOOTSTRAPPER_WORK}
          BOOTSTRAPPER_BUILD_DIR=${CMAKE_BINARY_DIR} PYTHONDONTWRITEBYTECODE=1
          ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/tools/decide_flavours.py
          ${testbed_dir}/probe-x86.exe ${testbed_dir}/probe-x64.exe ${testbed_dir}/flavours.json
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the test bed cannot run Windows programs here (see above)")
endif()
file(READ ${testbed_dir}/flavours.json flavours)
string(JSON runs_32bit GET "${flavours}" x86)
if(runs_32bit)
  set(BOOTSTRAPPER_RUNS_32BIT ON)
else()
  set(BOOTSTRAPPER_RUNS_32BIT OFF)
endif()

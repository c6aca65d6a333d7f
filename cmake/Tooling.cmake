# The Python build and release tooling, the package tooling/ at the top of the sources. Its
# commands run as modules with the sources' root on the import path:
#   ${BOOTSTRAPPER_TOOLING} tooling.resources ...    (or tooling.signing, ...)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(BOOTSTRAPPER_TOOLING_DIR ${PROJECT_SOURCE_DIR}/tooling)
set(BOOTSTRAPPER_TOOLING
    ${CMAKE_COMMAND} -E env PYTHONPATH=${PROJECT_SOURCE_DIR} ${Python3_EXECUTABLE} -m)

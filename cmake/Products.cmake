# The product descriptions that a build makes setup.exe for: BOOTSTRAPPER_PRODUCT, one or more
# files (a CMake list, "a.ini;b.ini"). Each setup.exe goes to an output folder of its own, named
# after its description, under BOOTSTRAPPER_OUTPUT_DIR (<build>/out):
#
#   out/<name>/setup.exe               the 32-bit setup.exe
#   out/<name>/x64/setup.exe           the 64-bit one, with [build] x64 = on
#   out/<name>/upload/<DATABASE>       a download product's package for its server
#
# <name> is the description's file name without ".ini", dots and all (notes-3.0.ini gives
# out/notes-3.0/); a description called product.ini (one product to a folder, as
# products/demo/product.ini) is named after its folder.

# bootstrapper_description_name(<variable> <description> [<target variable>])
# The output name, and the name of the target that builds that output ("product-<name>", with
# what a target name cannot hold replaced by "_").
function(bootstrapper_description_name variable description)
  get_filename_component(name "${description}" NAME)
  string(REGEX REPLACE "\\.[iI][nN][iI]$" "" name "${name}")
  if(name STREQUAL "product")
    get_filename_component(folder "${description}" DIRECTORY)
    get_filename_component(name "${folder}" NAME)
  endif()
  set(${variable} "${name}" PARENT_SCOPE)
  if(ARGC GREATER 2)
    string(REGEX REPLACE "[^A-Za-z0-9_.+-]" "_" target "product-${name}")
    set(${ARGV2} "${target}" PARENT_SCOPE)
  endif()
endfunction()

# bootstrapper_description_facts(<prefix> <description>): what the build plans by, read before
# the description is checked. <prefix>_X64 is whether it asks for a 64-bit setup.exe, and
# <prefix>_VARIABLES the folders of the build (${NAME}) that its files are in.
function(bootstrapper_description_facts prefix description)
  execute_process(
    COMMAND ${BOOTSTRAPPER_TOOLING} tooling.resources --description ${description} --facts
    OUTPUT_VARIABLE facts)
  set(x64 OFF)
  if(facts MATCHES "(^|\n)x64 on\n")
    set(x64 ON)
  endif()
  set(variables)
  if(facts MATCHES "(^|\n)variables ([^\n]*)\n")
    string(REPLACE " " ";" variables "${CMAKE_MATCH_2}")
  endif()
  set(${prefix}_X64 ${x64} PARENT_SCOPE)
  set(${prefix}_VARIABLES "${variables}" PARENT_SCOPE)
endfunction()

# The product descriptions that a build makes setup.exe for: BOOTSTRAPPER_PRODUCT, one or more
# files (a CMake list, "a.ini;b.ini"). Each setup.exe goes to an output folder of its own, named
# after its description, under BOOTSTRAPPER_OUTPUT_DIR (<build>/out):
#
#   out/<name>/setup.exe               the 32-bit setup.exe
#   out/<name>/x64/setup.exe           the 64-bit one, with [build] x64 = on
#   out/<name>/upload/<DATABASE>       a download product's package for its server
#
# <name> is the description's file name without ".ini"; a description called product.ini (one
# product to a folder, as products/demo/product.ini) is named after its folder.

# bootstrapper_description_name(<variable> <description>)
function(bootstrapper_description_name variable description)
  get_filename_component(name "${description}" NAME_WE)
  if(name STREQUAL "product")
    get_filename_component(folder "${description}" DIRECTORY)
    get_filename_component(name "${folder}" NAME)
  endif()
  set(${variable} ${name} PARENT_SCOPE)
endfunction()

# bootstrapper_description_x64(<variable> <description>): whether it asks for a 64-bit setup.exe.
function(bootstrapper_description_x64 variable description)
  execute_process(
    COMMAND ${BOOTSTRAPPER_TOOLING} tooling.resources --description ${description} --architectures
    OUTPUT_VARIABLE architectures OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(architectures MATCHES "x64")
    set(${variable} ON PARENT_SCOPE)
  else()
    set(${variable} OFF PARENT_SCOPE)
  endif()
endfunction()

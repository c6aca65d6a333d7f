# Building product variants of setup.exe and Windows Installer packages.

set(BOOTSTRAPPER_RESOURCE_GENERATOR ${BOOTSTRAPPER_TOOLING} tooling.resources)
file(GLOB BOOTSTRAPPER_RESOURCE_GENERATOR_SOURCES CONFIGURE_DEPENDS
     ${BOOTSTRAPPER_TOOLING_DIR}/*.py ${BOOTSTRAPPER_TOOLING_DIR}/description/*.py)
set(BOOTSTRAPPER_RES_DIR ${BOOTSTRAPPER_SOURCE_DIR}/res)
set(BOOTSTRAPPER_ICON_DIR ${CMAKE_BINARY_DIR}/icon)

add_custom_command(
  OUTPUT ${BOOTSTRAPPER_ICON_DIR}/setup.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${BOOTSTRAPPER_ICON_DIR}
  COMMAND ${Python3_EXECUTABLE} ${BOOTSTRAPPER_RES_DIR}/make_icon.py ${BOOTSTRAPPER_ICON_DIR}/setup.ico
  DEPENDS ${BOOTSTRAPPER_RES_DIR}/make_icon.py
  VERBATIM)
add_custom_target(bootstrapper_icon DEPENDS ${BOOTSTRAPPER_ICON_DIR}/setup.ico)

# The manifest names the processor architecture of the image it is compiled into: a 64-bit
# process that asks for the x86 common controls cannot load them.
if(BOOTSTRAPPER_WINDOWS_ARCH STREQUAL "x64")
  set(BOOTSTRAPPER_MANIFEST_ARCH amd64)
else()
  set(BOOTSTRAPPER_MANIFEST_ARCH x86)
endif()
configure_file(${BOOTSTRAPPER_RES_DIR}/setup.manifest.in ${BOOTSTRAPPER_ICON_DIR}/setup.manifest @ONLY)

set(BOOTSTRAPPER_RULES_TOOL "" CACHE FILEPATH
    "description_rules, built for this machine by the host tree; empty: compiled on first use")
cmake_policy(SET CMP0116 NEW)

# bootstrapper_product_resources(<name> DESCRIPTION <product description>
#                   [VARS NAME=VALUE...]        values for ${NAME} in payload file names
#                   [SET NAME=VALUE...] [UNSET NAME...] [NO_SETTINGS] [DROP_SECTION NAME...]
#                   (SET: a setting, or SECTION.KEY=VALUE for a key of another section)
#                   [PAYLOAD ID=FILE...] [NO_PAYLOAD ID...] [NO_PAYLOADS] [UNCHECKED]
#                   [DEPENDS <targets that make payload files>...])
# Generates the resources of a product description and sets <name>_RC to the resource script to
# compile, <name>_RC_INCLUDES to the folders it needs on the include path, and <name>_SIGNING to
# what signing it needs (signing.json). A description is checked when the build is configured
# (once per description; a mistake stops the configuration with the description's file and line)
# and again with the files the build made. The options SET to NO_PAYLOADS change the
# description's content for test variants, which are not checked; UNCHECKED is for fixtures that
# are no product's setup.exe.
function(bootstrapper_product_resources name)
  cmake_parse_arguments(V "NO_SETTINGS;NO_PAYLOADS;UNCHECKED" "DESCRIPTION"
                        "VARS;SET;UNSET;PAYLOAD;NO_PAYLOAD;DROP_SECTION;DEPENDS" ${ARGN})
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/variants/${name})
  get_filename_component(description ${V_DESCRIPTION} ABSOLUTE)
  set(args --description ${description})
  foreach(option VARS SET UNSET PAYLOAD NO_PAYLOAD DROP_SECTION)
    string(TOLOWER ${option} flag)
    string(REPLACE "_" "-" flag ${flag})
    foreach(item IN LISTS V_${option})
      list(APPEND args --${flag} ${item})
    endforeach()
  endforeach()
  list(TRANSFORM args REPLACE "^--vars$" "--var")
  if(V_NO_SETTINGS)
    list(APPEND args --no-settings)
  endif()
  if(V_NO_PAYLOADS)
    list(APPEND args --no-payloads)
  endif()
  if(V_UNCHECKED)
    list(APPEND args --unchecked)
  endif()
  if(BOOTSTRAPPER_RULES_TOOL)
    list(APPEND args --rules-tool ${BOOTSTRAPPER_RULES_TOOL})
  endif()

  # Editing a description configures the build again, and so checks it again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${description})
  get_property(checked GLOBAL PROPERTY BOOTSTRAPPER_CHECKED_DESCRIPTIONS)
  if(NOT V_UNCHECKED AND NOT description IN_LIST checked)
    set_property(GLOBAL APPEND PROPERTY BOOTSTRAPPER_CHECKED_DESCRIPTIONS ${description})
    # The findings are printed by the check itself, one "file:line: severity: sentence" each.
    execute_process(
      COMMAND ${BOOTSTRAPPER_RESOURCE_GENERATOR} ${args} --check
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Not configured: the product description has errors, listed above.")
    endif()
  endif()
  # A package that the build makes is checked against the description (its features) as soon
  # as it exists, and the program's code compiles only after that: a misspelt feature stops the
  # build in seconds. Once per description, for a variant that builds it as written.
  get_property(package_checked GLOBAL PROPERTY BOOTSTRAPPER_PACKAGE_CHECKED)
  if(NOT V_UNCHECKED AND V_DEPENDS AND NOT description IN_LIST package_checked AND
     NOT (V_SET OR V_UNSET OR V_PAYLOAD OR V_NO_PAYLOAD OR V_DROP_SECTION OR V_NO_SETTINGS OR
          V_NO_PAYLOADS))
    set_property(GLOBAL APPEND PROPERTY BOOTSTRAPPER_PACKAGE_CHECKED ${description})
    add_custom_target(${name}_package_check
      COMMAND ${BOOTSTRAPPER_RESOURCE_GENERATOR} ${args} --check-package
      VERBATIM)
    add_dependencies(${name}_package_check ${V_DEPENDS})
    add_dependencies(bootstrapper_core ${name}_package_check)
  endif()

  # The payloads and the package are listed in a depfile by the generator: a file that the
  # build has not made yet is then no dependency that make could not find, and the generator
  # reports it in the description's terms.
  add_custom_command(
    OUTPUT ${gen}/product.rc ${gen}/setup_variant.rc ${gen}/signing.json
    COMMAND ${BOOTSTRAPPER_RESOURCE_GENERATOR} ${args} --out ${gen}
            --depfile ${gen}/product.d
    DEPENDS ${description} ${BOOTSTRAPPER_RESOURCE_GENERATOR_SOURCES}
            ${BOOTSTRAPPER_RES_DIR}/strings.rc
            ${V_DEPENDS}
    DEPFILE ${gen}/product.d
    VERBATIM)
  set(depends ${gen}/product.rc ${BOOTSTRAPPER_RES_DIR}/setup.rc
      ${BOOTSTRAPPER_RES_DIR}/ResourceIds.h ${BOOTSTRAPPER_ICON_DIR}/setup.manifest
      ${BOOTSTRAPPER_ICON_DIR}/setup.ico)
  set_source_files_properties(${gen}/setup_variant.rc PROPERTIES OBJECT_DEPENDS "${depends}")
  set(${name}_RC ${gen}/setup_variant.rc PARENT_SCOPE)
  set(${name}_RC_INCLUDES ${gen} ${BOOTSTRAPPER_RES_DIR} ${BOOTSTRAPPER_ICON_DIR} PARENT_SCOPE)
  set(${name}_SIGNING ${gen}/signing.json PARENT_SCOPE)
endfunction()

# add_setup_variant(<name> DESCRIPTION <product description> [the options above]
#                   [UNSIGNED | RELEASE OUTPUT <file> UPLOAD_DIR <folder>])
# Links the bootstrapper's objects with the resources of that description into <name>.exe and
# signs it with the test publisher. A RELEASE variant is what ships: <name> is then the target
# that writes OUTPUT (OUTPUT_DIR/setup.exe) from the linked image, <name>-image, once it has
# passed: the release signer signs it, a download product's package for its server is written
# to UPLOAD_DIR and signed too (by the 32-bit tree; the 64-bit one checks it), and inspect must
# find no error in them (with a release signer, inspect --release: nothing that makes it unfit
# to ship). What fails is not written (see tooling/ship.py).
function(add_setup_variant name)
  cmake_parse_arguments(V "UNSIGNED;RELEASE" "OUTPUT;UPLOAD_DIR" "DEPENDS" ${ARGN})
  set(image ${name})
  if(V_RELEASE)
    set(image ${name}-image)
  endif()
  bootstrapper_product_resources(${name} ${V_UNPARSED_ARGUMENTS} DEPENDS ${V_DEPENDS})
  add_executable(${image} WIN32 $<TARGET_OBJECTS:bootstrapper_entry> ${${name}_RC})
  target_include_directories(${image} PRIVATE ${${name}_RC_INCLUDES})
  target_link_libraries(${image} PRIVATE bootstrapper_core)
  target_link_options(${image} PRIVATE ${BOOTSTRAPPER_GUI_LINK_OPTIONS})
  add_dependencies(${image} bootstrapper_icon)
  if(TARGET product_payloads)
    add_dependencies(${image} product_payloads)
  endif()
  if(V_DEPENDS)
    add_dependencies(${image} ${V_DEPENDS})
  endif()
  if(V_RELEASE)
    # The image is linked into a folder of its own as setup.exe, the name inspect reports.
    set(linked ${CMAKE_CURRENT_BINARY_DIR}/variants/${name}/image)
    set_target_properties(${image} PROPERTIES OUTPUT_NAME setup RUNTIME_OUTPUT_DIRECTORY ${linked})
    set(options)
    if(BOOTSTRAPPER_RULES_TOOL)
      list(APPEND options --rules-tool ${BOOTSTRAPPER_RULES_TOOL})
    endif()
    list(APPEND options ${BOOTSTRAPPER_RELEASE_GATE})
    if(BOOTSTRAPPER_WINDOWS_ARCH STREQUAL "x64")
      list(APPEND options --upload ${V_UPLOAD_DIR})
    else()
      list(APPEND options --write-upload ${V_UPLOAD_DIR})
    endif()
    add_custom_command(
      OUTPUT ${V_OUTPUT}
      COMMAND ${BOOTSTRAPPER_TOOLING} tooling.ship ${BOOTSTRAPPER_RELEASE_SIGNER}
              --details ${${name}_SIGNING} --image $<TARGET_FILE:${image}> --to ${V_OUTPUT}
              --depfile ${linked}/ship.d ${options}
      DEPENDS ${image} $<TARGET_FILE:${image}> ${${name}_SIGNING} ${BOOTSTRAPPER_SIGNER_FILES}
              ${BOOTSTRAPPER_TOOLING_DIR}/ship.py
      DEPFILE ${linked}/ship.d
      VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${V_OUTPUT})
    add_dependencies(products ${name})
  elseif(NOT V_UNSIGNED)
    bootstrapper_sign(${name} DETAILS ${${name}_SIGNING})
  endif()
endfunction()

# add_msi_package(<target> WXS <source> OUTPUT <package>
#                 [ARCH x86|x64] [DEFINES NAME=VALUE...] [QUERIES <SQL>...]
#                 [INCLUDE_DIRS <dir>...] [SOURCES <files or targets it reads>...] [SIGN])
# Builds a Windows Installer package with wixl from a WiX source, then applies SQL queries with
# msibuild for what wixl cannot author, makes it the same bytes for the same sources (its times
# and PackageCode; see tooling/reproducible_msi.py), and optionally signs it. wixl finds file sources only
# relative to the WiX source's folder (a built file is named by a relative path from there);
# INCLUDE_DIRS are for preprocessor includes.
function(add_msi_package target)
  cmake_parse_arguments(M "SIGN" "WXS;OUTPUT;ARCH" "DEFINES;QUERIES;SOURCES;INCLUDE_DIRS" ${ARGN})
  if(NOT M_ARCH)
    set(M_ARCH x86)
  endif()
  get_filename_component(wxs ${M_WXS} ABSOLUTE)
  get_filename_component(wxs_dir ${wxs} DIRECTORY)
  set(defines)
  foreach(item IN LISTS M_DEFINES)
    list(APPEND defines -D ${item})
  endforeach()
  set(include_dirs)
  foreach(dir IN LISTS M_INCLUDE_DIRS)
    list(APPEND include_dirs -I ${dir})
  endforeach()
  set(query_commands)
  foreach(query IN LISTS M_QUERIES)
    list(APPEND query_commands COMMAND msibuild ${M_OUTPUT} -q ${query})
  endforeach()
  set(sign_command)
  set(signer)
  if(M_SIGN)
    set(sign_command COMMAND ${BOOTSTRAPPER_SIGN_COMMAND} ${BOOTSTRAPPER_TEST_SIGNER} ${M_OUTPUT})
    set(signer ${BOOTSTRAPPER_SIGN_CHAIN})
  endif()
  get_filename_component(out_dir ${M_OUTPUT} DIRECTORY)
  add_custom_command(
    OUTPUT ${M_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND wixl -a ${M_ARCH} ${defines} ${include_dirs} -o ${M_OUTPUT} ${wxs}
    ${query_commands}
    COMMAND ${BOOTSTRAPPER_TOOLING} tooling.reproducible_msi ${M_OUTPUT}
            --epoch ${BOOTSTRAPPER_SOURCE_DATE_EPOCH}
    ${sign_command}
    WORKING_DIRECTORY ${wxs_dir}
    DEPENDS ${wxs} ${M_SOURCES} ${BOOTSTRAPPER_TOOLING_DIR}/reproducible_msi.py
            ${BOOTSTRAPPER_EPOCH_FILE} ${signer}
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${M_OUTPUT})
endfunction()

# The Windows Installer engine upgrade: the update package stand-in in several file versions,
# and the setup.exe variants that carry it or fetch it.
set(update_sources ${CMAKE_CURRENT_LIST_DIR}/engine)
set(update_standins ${CMAKE_CURRENT_BINARY_DIR}/engine)
set(update_link_options -municode -mwindows -static -s)

# add_update_standin(<name> [VERSION a,b,c,d | RESOURCE <rc>] [UNSIGNED])
# The stand-in with the given file version, or with the version resource of <rc>, or with none.
function(add_update_standin name)
  cmake_parse_arguments(U "UNSIGNED" "VERSION;RESOURCE" "" ${ARGN})
  set(sources ${update_sources}/UpdatePackage.cpp)
  if(U_VERSION)
    list(APPEND sources ${update_sources}/UpdatePackage.rc)
  elseif(U_RESOURCE)
    list(APPEND sources ${update_sources}/${U_RESOURCE})
  endif()
  add_executable(${name} WIN32 ${sources})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${update_standins})
  if(U_VERSION)
    target_compile_definitions(${name} PRIVATE UPDATE_FILE_VERSION=${U_VERSION})
  endif()
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${BOOTSTRAPPER_WARNINGS}>)
  target_link_options(${name} PRIVATE ${update_link_options})
  if(NOT U_UNSIGNED)
    bootstrapper_sign(${name})
  endif()
endfunction()

# Exactly the minimum the variants below ask for, just below it, and the odd cases of a version
# resource without its fixed block and a file without any version resource.
add_update_standin(update_v406 VERSION 4,6,0,0)
add_update_standin(update_v406_unsigned VERSION 4,6,0,0 UNSIGNED)
add_update_standin(update_v405 VERSION 4,5,6001,22308)
add_update_standin(update_nofixed RESOURCE VersionWithoutFixedInfo.rc)
add_update_standin(update_noversion)

set(demo_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
set(demo_vars PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR})

# The engine of a Wine prefix is 4.5 (405): 406 asks for the upgrade from the executable.
add_setup_variant(setup-engine-media DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET MINIMUM_MSI=406 PAYLOAD 1001=${update_standins}/update_v406.exe
  DEPENDS demo_package update_v406)
# The carried package is older than the minimum: it must never run.
add_setup_variant(setup-engine-media-old DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET MINIMUM_MSI=406 PAYLOAD 1001=${update_standins}/update_v405.exe
  DEPENDS demo_package update_v405)

# The update fetched from UPDATELOCATION, without and with a trailing "/", on the loopback port
# the download scenarios' server listens on (see trust/Trust.cmake). Both name the same file.
set(update_location http://127.0.0.1:${BOOTSTRAPPER_TEST_HTTP_PORT}/engine)
add_setup_variant(setup-engine-url DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET MINIMUM_MSI=406 UPDATELOCATION=${update_location} UPDATE=update.exe
  DEPENDS demo_package)
add_setup_variant(setup-engine-url-slash DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET MINIMUM_MSI=406 UPDATELOCATION=${update_location}/ UPDATE=update.exe
  DEPENDS demo_package)

# Packages and variants of setup.exe for the main road: the same product in another version
# (upgrade by reinstall), a product without PROPERTIES, and packages whose installation fails.
set(demo_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
set(demo_vars PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR})
set(packages ${CMAKE_CURRENT_BINARY_DIR}/packages)

# Corvell Vesk 5.1.0: the demo's ProductCode with another ProductVersion.
add_msi_package(demo_package_v510
  WXS ${BOOTSTRAPPER_DEMO_WXS}
  OUTPUT ${packages}/v510/CorvellVesk5.msi
  DEFINES ProductVersion=5.1.0
  QUERIES ${BOOTSTRAPPER_DEMO_QUERIES}
  SOURCES ${BOOTSTRAPPER_DEMO_SOURCES})
add_setup_variant(setup-v510 DESCRIPTION ${demo_description} VARS ${demo_vars}
  PAYLOAD 1004=${packages}/v510/CorvellVesk5.msi DEPENDS demo_package_v510)

# The demo without PROPERTIES: with no flags and no feature file the command line is empty.
add_setup_variant(setup-noprops DESCRIPTION ${demo_description} VARS ${demo_vars}
  UNSET PROPERTIES DEPENDS demo_package)

# A package whose custom action ends the installation with a code the test chooses.
add_library(outcome_action SHARED ${PROJECT_SOURCE_DIR}/tests/packages/OutcomeAction.cpp)
set_target_properties(outcome_action PROPERTIES PREFIX "" OUTPUT_NAME OutcomeAction
                      RUNTIME_OUTPUT_DIRECTORY ${packages}/failure)
target_link_options(outcome_action PRIVATE -static -s -Wl,--kill-at)
# wixl takes file sources relative to the WiX source's folder only.
file(RELATIVE_PATH outcome_action_source ${PROJECT_SOURCE_DIR}/tests/packages
     ${packages}/failure/OutcomeAction.dll)
add_msi_package(failure_package
  WXS ${PROJECT_SOURCE_DIR}/tests/packages/VeskFailure.wxs
  OUTPUT ${packages}/failure/VeskFailure.msi
  DEFINES OutcomeAction=${outcome_action_source}
  SOURCES ${PROJECT_SOURCE_DIR}/tests/packages/vesk.txt outcome_action)
add_setup_variant(setup-failure DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET DATABASE=VeskFailure.msi PAYLOAD 1004=${packages}/failure/VeskFailure.msi
  DEPENDS failure_package)

# A "package" that is no Windows Installer package at all.
add_setup_variant(setup-notapackage DESCRIPTION ${demo_description} VARS ${demo_vars}
  PAYLOAD 1004=${PROJECT_SOURCE_DIR}/products/demo/readme.txt)

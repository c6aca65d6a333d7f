# Variants of setup.exe for the settings and the package taken from the executable: the demo
# product with one setting changed, removed or added, or with a payload left out.
set(settings_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
set(settings_vars PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR})

# setting_variant(<name> <add_setup_variant options>...): a variant of the demo product.
function(setting_variant name)
  add_setup_variant(${name} DESCRIPTION ${settings_description} VARS ${settings_vars} ${ARGN}
                    DEPENDS demo_package)
endfunction()

# No type-40 entry at all: every setting takes its default.
setting_variant(setup-defaults NO_SETTINGS)

# PROPERTIES longer than the reader's first buffer of 256 characters.
string(REPEAT "0123456789" 30 long_value)
setting_variant(setup-longprops SET "PROPERTIES=MSI_VIA_EXE=${long_value}")

# MINIMUM_MSI: the lowest accepted version, the default's value, and texts that are refused.
setting_variant(setup-min149 SET MINIMUM_MSI=149)
setting_variant(setup-min150 SET MINIMUM_MSI=150)
setting_variant(setup-min301 SET MINIMUM_MSI=301)
setting_variant(setup-min3x SET MINIMUM_MSI=3x)
setting_variant(setup-min3dot1 SET MINIMUM_MSI=3.1)
setting_variant(setup-minempty SET MINIMUM_MSI=)

# OPERATION: accepted in any case; anything but INSTALL, INSTALLUPD and DEFAULT is refused.
setting_variant(setup-op-install SET OPERATION=install)
setting_variant(setup-op-minpatch SET OPERATION=MINPATCH)
setting_variant(setup-op-uninstall SET OPERATION=UNINSTALL)

# A package that copies its own folder while it installs, so a test sees what the run had
# prepared beside it by the package step.
set(snapshot_dir ${CMAKE_CURRENT_BINARY_DIR}/packages/snapshot)
add_library(snapshot_action SHARED ${PROJECT_SOURCE_DIR}/tests/packages/SnapshotAction.cpp)
set_target_properties(snapshot_action PROPERTIES PREFIX "" OUTPUT_NAME SnapshotAction
                      RUNTIME_OUTPUT_DIRECTORY ${snapshot_dir})
target_link_options(snapshot_action PRIVATE -static -s -Wl,--kill-at)
target_link_libraries(snapshot_action PRIVATE msi)
# wixl takes file sources relative to the WiX source's folder only.
file(RELATIVE_PATH snapshot_action_source ${PROJECT_SOURCE_DIR}/tests/packages
     ${snapshot_dir}/SnapshotAction.dll)
add_msi_package(snapshot_package
  WXS ${PROJECT_SOURCE_DIR}/tests/packages/VeskSnapshot.wxs
  OUTPUT ${snapshot_dir}/VeskSnapshot.msi
  DEFINES SnapshotAction=${snapshot_action_source}
  SOURCES ${PROJECT_SOURCE_DIR}/tests/packages/vesk.txt snapshot_action)

# DATABASE: a short name (ini file x.ini), carrying the snapshot package; and a name whose ini
# name does not fit 40 characters.
add_setup_variant(setup-db-x DESCRIPTION ${settings_description} VARS ${settings_vars}
  SET DATABASE=x.msi PAYLOAD 1004=${snapshot_dir}/VeskSnapshot.msi DEPENDS snapshot_package)
string(REPEAT "L" 36 long_stem)
setting_variant(setup-db-long SET DATABASE=${long_stem}.msi)

# A payload left out of the executable.
setting_variant(setup-no-package NO_PAYLOAD 1004)
# The same with the longest rows a product may give: a caption of 300 characters and a message
# of 1,000 characters that a file name follows, both once read into smaller buffers.
string(REPEAT "Corvell Vesk Setup, " 15 long_caption)
string(REPEAT "Could not find it. " 52 long_message)
setting_variant(setup-no-package-long NO_PAYLOAD 1004 SET "strings.11=${long_caption}"
                SET "strings.44=${long_message}Wanted:     ")
setting_variant(setup-no-readme NO_PAYLOAD 1005)

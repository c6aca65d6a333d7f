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

# DATABASE: a short name (ini file x.ini), and one whose ini name does not fit 40 characters.
setting_variant(setup-db-x SET DATABASE=x.msi)
string(REPEAT "L" 36 long_stem)
setting_variant(setup-db-long SET DATABASE=${long_stem}.msi)

# A payload left out of the executable.
setting_variant(setup-no-package NO_PAYLOAD 1004)
setting_variant(setup-no-readme NO_PAYLOAD 1005)

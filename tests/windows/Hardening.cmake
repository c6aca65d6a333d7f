# What the hostile-input tests need: a library that marks when it is loaded, planted under the
# names of system libraries, and variants of the demo product with names that are too long or
# outside Latin-1.
add_library(planted_library SHARED ${PROJECT_SOURCE_DIR}/tests/packages/PlantedLibrary.cpp)
set_target_properties(planted_library PROPERTIES PREFIX "" OUTPUT_NAME PlantedLibrary)
target_link_options(planted_library PRIVATE -static -s)

set(hardening_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
set(hardening_vars PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR})
string(REPEAT "Corvell Vesk " 23 long_name)  # 299 characters with the last space
string(REPEAT "CorvellVesk5" 25 long_stem)   # 300 characters before ".msi"

add_setup_variant(setup-longname DESCRIPTION ${hardening_description} VARS ${hardening_vars}
  SET "PRODUCTNAME=${long_name}X" DEPENDS demo_package)
add_setup_variant(setup-longdatabase DESCRIPTION ${hardening_description} VARS ${hardening_vars}
  SET "DATABASE=${long_stem}.msi" DEPENDS demo_package)
add_setup_variant(setup-unicode DESCRIPTION ${hardening_description} VARS ${hardening_vars}
  SET "PRODUCTNAME=Корвелл Веск 测试" "DATABASE=Веск测试.msi" DEPENDS demo_package)

# Tallow Notes 2, the tests' second product: its package, its setup.exe as its description
# says, and the same without a feature selection.
set(notes_sources ${PROJECT_SOURCE_DIR}/tests/products/notes)
set(notes_build ${CMAKE_CURRENT_BINARY_DIR}/notes)

add_msi_package(notes_package
  WXS ${notes_sources}/TallowNotes2.wxs
  OUTPUT ${notes_build}/TallowNotes2.msi
  SOURCES ${notes_sources}/notes.txt)
add_setup_variant(setup-notes DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build} DEPENDS notes_package)
add_setup_variant(setup-notes-nofeatures DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build} DROP_SECTION feature-selection DEPENDS notes_package)

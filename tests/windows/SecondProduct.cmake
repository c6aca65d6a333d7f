# Tallow Notes 2, the tests' second product: its package, its setup.exe as its description
# says, the same without a feature selection, and a later version that upgrades it.
set(notes_sources ${PROJECT_SOURCE_DIR}/tests/products/notes)
set(notes_build ${CMAKE_CURRENT_BINARY_DIR}/notes)

# What wixl cannot author: the two logs removed on uninstall, the ini file only for /w.
set(notes_queries
  "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('BootstrapLog', 'NotesCore', 'bootstrap.log', 'INSTALLDIR', 2)"
  "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('InstallerLog', 'NotesCore', 'TALLOW~1.LOG|Tallow Notes.log', 'INSTALLDIR', 2)"
  "UPDATE Component SET Condition='WRITE_INI_FILE=\"true\"' WHERE Component='WrittenIniFile'")
add_msi_package(notes_package
  WXS ${notes_sources}/TallowNotes2.wxs
  OUTPUT ${notes_build}/TallowNotes2.msi
  DEFINES NotesVersion=2.1.0 NotesProductCode={8C2D4E6F-1A3B-4C5D-8E9F-0A1B2C3D4E5F}
  QUERIES ${notes_queries}
  SOURCES ${notes_sources}/notes.txt ${notes_sources}/settings.ini)
add_setup_variant(setup-notes DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build} DEPENDS notes_package)
add_setup_variant(setup-notes-nofeatures DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build} DROP_SECTION feature-selection DEPENDS notes_package)
# Its version resource says another version than the package installs.
add_setup_variant(setup-notes-v22 DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build} SET version.ProductVersion=2.2.0 DEPENDS notes_package)

# Tallow Notes 2.3.0: a product code of its own, whose major upgrade removes 2.1.0.
add_msi_package(notes_package_v230
  WXS ${notes_sources}/TallowNotes2.wxs
  OUTPUT ${notes_build}/v230/TallowNotes2.msi
  DEFINES NotesVersion=2.3.0 NotesProductCode={9D3E5F7A-2B4C-4D6E-9F0A-1B2C3D4E5F60}
  QUERIES ${notes_queries}
  SOURCES ${notes_sources}/notes.txt ${notes_sources}/settings.ini)
add_setup_variant(setup-notes-v230 DESCRIPTION ${notes_sources}/product.ini
  VARS NOTES_BUILD=${notes_build}/v230 DEPENDS notes_package_v230)

# The bootstrapper's sources. Pure sources include no Windows header and are also compiled into
# the host-native tests; the rest is Windows glue.
set(BOOTSTRAPPER_PURE_SOURCES
  config/CommandLine.cpp
  config/FeatureSelectionText.cpp
  config/SettingRules.cpp
  config/TextUtil.cpp
  net/DownloadUrl.cpp
  prereq/RuntimeCommandLine.cpp
  prereq/UpgradeRules.cpp
  sys/LineFormat.cpp
  sys/LogLine.cpp
  ui/TableLanguage.cpp
)

set(BOOTSTRAPPER_WINDOWS_SOURCES
  config/FeatureSelection.cpp
  config/ProductOptions.cpp
  config/ResourceSettings.cpp
  driver/CleanUp.cpp
  driver/MsiBindings.cpp
  driver/PackageOperation.cpp
  driver/RunSequence.cpp
  net/DownloadTransfer.cpp
  net/InternetFunctions.cpp
  net/PackageDownload.cpp
  net/SignatureVerification.cpp
  net/VerificationMode.cpp
  payload/CheckedFolder.cpp
  payload/ContentDigest.cpp
  payload/FileUtilities.cpp
  payload/HeldFile.cpp
  payload/PayloadExtraction.cpp
  payload/SystemCalls.cpp
  payload/WorkFolder.cpp
  prereq/InstallerUpgrade.cpp
  prereq/RuntimePrerequisite.cpp
  prereq/XmlParserPrerequisite.cpp
  sys/BootstrapLog.cpp
  sys/LaterSystemFunctions.cpp
  sys/PlatformChecks.cpp
  sys/RunTimeBinding.cpp
  sys/VersionFunctions.cpp
  ui/MessageBoxes.cpp
  ui/MessageTable.cpp
  ui/ProgressDialog.cpp
)

# System libraries linked at load time: only what Windows XP SP3 has, and only libraries that the
# loader takes from the system folder whatever lies beside the executable. msi.dll, wintrust.dll,
# crypt32.dll, urlmon.dll, wininet.dll and version.dll are bound at run time from the system
# folder instead.
set(BOOTSTRAPPER_SYSTEM_LIBRARIES comctl32 advapi32 user32 gdi32 kernel32)

list(TRANSFORM BOOTSTRAPPER_PURE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
list(TRANSFORM BOOTSTRAPPER_WINDOWS_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# The build options that sign a release, read by the host tree and by the Windows tree that it
# configures (which gets them passed on). Without any of them the build's own test publisher
# signs everything; with them, the release signer signs what ships (setup.exe and the package
# for a download product's server) and the test publisher still signs every test program.
#
#   BOOTSTRAPPER_SIGNING_CERT + _KEY       PEM certificate chain (leaf first) and its PEM key
#   BOOTSTRAPPER_SIGNING_PKCS12            a .pfx file with the certificate and its key
#   BOOTSTRAPPER_SIGNING_PKCS11_MODULE     a PKCS#11 module; _KEY is then the key's pkcs11: URI
#                                          in the token and _CERT its certificate chain
#   BOOTSTRAPPER_SIGNING_PASS_ENV | _FILE  where a pass phrase, .pfx password or PIN is read:
#                                          an environment variable's name, or a file
#   BOOTSTRAPPER_TIMESTAMP_URL             an RFC 3161 timestamp authority
#
# A signer that cannot work stops the configuration with a sentence saying why, before
# anything is built or signed.
set(BOOTSTRAPPER_SIGNING_CERT "" CACHE FILEPATH
    "PEM certificate chain to sign a release with (leaf first)")
set(BOOTSTRAPPER_SIGNING_KEY "" CACHE STRING
    "PEM private key of that certificate, or with a PKCS#11 module its pkcs11: URI")
set(BOOTSTRAPPER_SIGNING_PKCS12 "" CACHE FILEPATH "PKCS#12 (.pfx) file to sign a release with")
set(BOOTSTRAPPER_SIGNING_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token holding the key")
set(BOOTSTRAPPER_SIGNING_PASS_ENV "" CACHE STRING
    "Name of the environment variable holding the key's pass phrase, .pfx password or PIN")
set(BOOTSTRAPPER_SIGNING_PASS_FILE "" CACHE FILEPATH
    "File whose first line is the key's pass phrase, .pfx password or PIN")
set(BOOTSTRAPPER_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp authority for release signatures")

# A key file named relative to where cmake was started is made absolute: the signing runs in
# another folder. A pkcs11: URI stays as it is.
if(BOOTSTRAPPER_SIGNING_KEY AND NOT BOOTSTRAPPER_SIGNING_KEY MATCHES "^pkcs11:"
   AND NOT IS_ABSOLUTE "${BOOTSTRAPPER_SIGNING_KEY}")
  get_filename_component(key "${BOOTSTRAPPER_SIGNING_KEY}" ABSOLUTE BASE_DIR "$ENV{PWD}")
  set_property(CACHE BOOTSTRAPPER_SIGNING_KEY PROPERTY VALUE "${key}")
endif()

# BOOTSTRAPPER_SIGNING_CMAKE_ARGS passes the options on; BOOTSTRAPPER_RELEASE_SIGNER is the
# signer's arguments to tooling.signing, empty without release options.
set(BOOTSTRAPPER_SIGNING_CMAKE_ARGS)
set(BOOTSTRAPPER_RELEASE_SIGNER)
foreach(pair CERT:cert KEY:key PKCS12:pkcs12 PKCS11_MODULE:pkcs11-module PASS_ENV:pass-env
             PASS_FILE:pass-file)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 option)
  list(GET pair 1 flag)
  list(APPEND BOOTSTRAPPER_SIGNING_CMAKE_ARGS
       "-DBOOTSTRAPPER_SIGNING_${option}=${BOOTSTRAPPER_SIGNING_${option}}")
  if(BOOTSTRAPPER_SIGNING_${option})
    list(APPEND BOOTSTRAPPER_RELEASE_SIGNER --${flag} "${BOOTSTRAPPER_SIGNING_${option}}")
  endif()
endforeach()
list(APPEND BOOTSTRAPPER_SIGNING_CMAKE_ARGS
     "-DBOOTSTRAPPER_TIMESTAMP_URL=${BOOTSTRAPPER_TIMESTAMP_URL}")
if(BOOTSTRAPPER_TIMESTAMP_URL)
  if(NOT BOOTSTRAPPER_RELEASE_SIGNER)
    message(FATAL_ERROR "BOOTSTRAPPER_TIMESTAMP_URL is given without a release signer: the "
            "build's test publisher signs without timestamps.")
  endif()
  list(APPEND BOOTSTRAPPER_RELEASE_SIGNER --timestamp "${BOOTSTRAPPER_TIMESTAMP_URL}")
endif()

set(BOOTSTRAPPER_SIGN_COMMAND ${BOOTSTRAPPER_TOOLING} tooling.signing sign)
# A build signed for release is checked as one before it ships (inspect --release): what would
# make it unfit to ship fails the build.
set(BOOTSTRAPPER_RELEASE_GATE)
if(BOOTSTRAPPER_RELEASE_SIGNER)
  set(BOOTSTRAPPER_RELEASE_GATE --release)
  execute_process(
    COMMAND ${BOOTSTRAPPER_TOOLING} tooling.signing check
            ${BOOTSTRAPPER_RELEASE_SIGNER}
    RESULT_VARIABLE result ERROR_VARIABLE refusal)
  if(NOT result EQUAL 0)
    string(STRIP "${refusal}" refusal)
    message(FATAL_ERROR "Release signing: ${refusal}")
  endif()
endif()

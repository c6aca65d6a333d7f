# Authenticode signing of the executables the build makes.
#
# The build's test publisher, a local test CA and a code-signing certificate made in the build
# tree (never in the sources), signs every test program; tests install that CA as a trusted root
# in their Wine prefixes. What ships (setup.exe, and the package for a download product's server)
# is signed by the release signer of SigningOptions.cmake, or by the test publisher when no
# release signer is given.
include(${PROJECT_SOURCE_DIR}/cmake/SigningOptions.cmake)

find_program(OPENSSL_PROGRAM openssl REQUIRED)
find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)

# Makes <dir>/ca.pem, ca.cer (DER, for installing as a root), chain.pem and key.pem: a test root
# named "<name> Root CA" and a code-signing certificate "<name>" issued by it. With AUTHORITY, the
# certificate is issued by the root of that publisher's folder instead, and the folder gets no
# root of its own (a second publisher of the same authority). Kept once made.
function(bootstrapper_make_test_publisher dir name)
  cmake_parse_arguments(P "" "AUTHORITY" "" ${ARGN})
  if(EXISTS ${dir}/chain.pem AND EXISTS ${dir}/key.pem AND (P_AUTHORITY OR EXISTS ${dir}/ca.cer))
    return()
  endif()
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/leaf.cnf
    "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
  macro(_openssl)
    execute_process(COMMAND ${OPENSSL_PROGRAM} ${ARGN} WORKING_DIRECTORY ${dir}
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "openssl ${ARGN} failed: ${error}")
    endif()
  endmacro()
  set(authority ${dir})
  if(P_AUTHORITY)
    set(authority ${P_AUTHORITY})
  else()
    _openssl(req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout ca.key -out ca.pem
             -subj "/CN=${name} Root CA"
             -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign")
    _openssl(x509 -in ca.pem -outform DER -out ca.cer)
  endif()
  _openssl(req -newkey rsa:2048 -nodes -sha256 -keyout key.pem -out leaf.csr -subj "/CN=${name}")
  _openssl(x509 -req -sha256 -days 3650 -in leaf.csr -CA ${authority}/ca.pem
           -CAkey ${authority}/ca.key -CAserial serial.srl -CAcreateserial -out leaf.pem
           -extfile leaf.cnf)
  file(READ ${dir}/leaf.pem leaf)
  file(READ ${authority}/ca.pem ca)
  file(WRITE ${dir}/chain.pem "${leaf}${ca}")
endfunction()

set(BOOTSTRAPPER_TEST_PUBLISHER_DIR ${CMAKE_BINARY_DIR}/signing/publisher)
bootstrapper_make_test_publisher(${BOOTSTRAPPER_TEST_PUBLISHER_DIR} "Bootstrapper Test Publisher")
# The test publisher's chain and key; BOOTSTRAPPER_TEST_SIGNER gives them to tooling.signing.
set(BOOTSTRAPPER_SIGN_CHAIN ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/chain.pem)
set(BOOTSTRAPPER_SIGN_KEY ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/key.pem)
set(BOOTSTRAPPER_TEST_SIGNER --cert ${BOOTSTRAPPER_SIGN_CHAIN} --key ${BOOTSTRAPPER_SIGN_KEY})
if(NOT BOOTSTRAPPER_RELEASE_SIGNER)
  set(BOOTSTRAPPER_RELEASE_SIGNER ${BOOTSTRAPPER_TEST_SIGNER})
endif()

# bootstrapper_sign(<target> [RELEASE] [DETAILS <signing.json>])
# Signs the target's file in place after every link: with the release signer when it ships,
# else with the test publisher; DETAILS gives the signature's description and URL.
function(bootstrapper_sign target)
  cmake_parse_arguments(S "RELEASE" "DETAILS" "" ${ARGN})
  set(signer ${BOOTSTRAPPER_TEST_SIGNER})
  if(S_RELEASE)
    set(signer ${BOOTSTRAPPER_RELEASE_SIGNER})
  endif()
  set(details)
  if(S_DETAILS)
    set(details --details ${S_DETAILS})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${BOOTSTRAPPER_SIGN_COMMAND} ${signer} ${details} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

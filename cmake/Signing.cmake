# Authenticode signing of the executables the build makes.
#
# With BOOTSTRAPPER_SIGNING_CERT (PEM, the signing certificate first, then its chain) and
# BOOTSTRAPPER_SIGNING_KEY (PEM private key) a release engineer signs with their own certificate.
# Without them the build makes a local test CA and a code-signing certificate in the build tree,
# never in the sources; tests install that CA as a trusted root in their Wine prefixes.
set(BOOTSTRAPPER_SIGNING_CERT "" CACHE FILEPATH "PEM certificate chain to sign with (leaf first)")
set(BOOTSTRAPPER_SIGNING_KEY "" CACHE FILEPATH "PEM private key of the signing certificate")

find_program(OPENSSL_PROGRAM openssl REQUIRED)
find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)

# Makes <dir>/ca.pem, ca.cer (DER, for installing as a root), chain.pem and key.pem: a test root
# named "<name> Root CA" and a code-signing certificate "<name>" issued by it. Kept once made.
function(bootstrapper_make_test_publisher dir name)
  if(EXISTS ${dir}/chain.pem AND EXISTS ${dir}/key.pem AND EXISTS ${dir}/ca.cer)
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
  _openssl(req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout ca.key -out ca.pem
           -subj "/CN=${name} Root CA"
           -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign")
  _openssl(req -newkey rsa:2048 -nodes -sha256 -keyout key.pem -out leaf.csr -subj "/CN=${name}")
  _openssl(x509 -req -sha256 -days 3650 -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial
           -out leaf.pem -extfile leaf.cnf)
  _openssl(x509 -in ca.pem -outform DER -out ca.cer)
  file(READ ${dir}/leaf.pem leaf)
  file(READ ${dir}/ca.pem ca)
  file(WRITE ${dir}/chain.pem "${leaf}${ca}")
endfunction()

if(BOOTSTRAPPER_SIGNING_CERT AND BOOTSTRAPPER_SIGNING_KEY)
  set(BOOTSTRAPPER_SIGN_CHAIN ${BOOTSTRAPPER_SIGNING_CERT})
  set(BOOTSTRAPPER_SIGN_KEY ${BOOTSTRAPPER_SIGNING_KEY})
else()
  set(BOOTSTRAPPER_TEST_PUBLISHER_DIR ${CMAKE_BINARY_DIR}/signing/publisher)
  bootstrapper_make_test_publisher(${BOOTSTRAPPER_TEST_PUBLISHER_DIR} "Bootstrapper Test Publisher")
  set(BOOTSTRAPPER_SIGN_CHAIN ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/chain.pem)
  set(BOOTSTRAPPER_SIGN_KEY ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/key.pem)
endif()

# Signs the target's file in place after every link.
function(bootstrapper_sign target)
  cmake_parse_arguments(S "" "CHAIN;KEY" "" ${ARGN})
  if(NOT S_CHAIN)
    set(S_CHAIN ${BOOTSTRAPPER_SIGN_CHAIN})
    set(S_KEY ${BOOTSTRAPPER_SIGN_KEY})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/sign.sh $<TARGET_FILE:${target}> ${S_CHAIN} ${S_KEY}
    VERBATIM)
endfunction()

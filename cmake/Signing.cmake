# Authenticode signing of the executables the build makes.
#
# The build's test publisher, a local test CA and a code-signing certificate made in the build
# tree (never in the sources), signs every test program; tests install that CA as a trusted root
# in their Wine prefixes. What ships (setup.exe, and the package for a download product's server)
# is signed by the release signer of SigningOptions.cmake, or by the test publisher when no
# release signer is given.
include(${PROJECT_SOURCE_DIR}/cmake/SigningOptions.cmake)

find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)
include(${PROJECT_SOURCE_DIR}/cmake/TestPublisher.cmake)

# Every Windows tree of one build signs with the one test publisher that the host tree made
# (BOOTSTRAPPER_TEST_PUBLISHER), copied in where the tree's tests look for it: what one tree
# signs, the package for a download product's server, is checked against the signer of what
# another tree builds, its 64-bit setup.exe. A tree configured on its own makes its own.
set(BOOTSTRAPPER_TEST_PUBLISHER "" CACHE PATH "The build's test publisher, made by the host tree")
set(BOOTSTRAPPER_TEST_PUBLISHER_DIR ${CMAKE_BINARY_DIR}/signing/publisher)
if(BOOTSTRAPPER_TEST_PUBLISHER)
  # The authority's key too: the tests make a second publisher of the same authority.
  file(COPY ${BOOTSTRAPPER_TEST_PUBLISHER}/ca.pem ${BOOTSTRAPPER_TEST_PUBLISHER}/ca.cer
       ${BOOTSTRAPPER_TEST_PUBLISHER}/ca.key ${BOOTSTRAPPER_TEST_PUBLISHER}/chain.pem
       ${BOOTSTRAPPER_TEST_PUBLISHER}/key.pem DESTINATION ${BOOTSTRAPPER_TEST_PUBLISHER_DIR})
else()
  bootstrapper_make_test_publisher(${BOOTSTRAPPER_TEST_PUBLISHER_DIR} "Bootstrapper Test Publisher")
endif()
# The test publisher's chain and key; BOOTSTRAPPER_TEST_SIGNER gives them to tooling.signing.
set(BOOTSTRAPPER_SIGN_CHAIN ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/chain.pem)
set(BOOTSTRAPPER_SIGN_KEY ${BOOTSTRAPPER_TEST_PUBLISHER_DIR}/key.pem)
set(BOOTSTRAPPER_TEST_SIGNER --cert ${BOOTSTRAPPER_SIGN_CHAIN} --key ${BOOTSTRAPPER_SIGN_KEY})
if(NOT BOOTSTRAPPER_RELEASE_SIGNER)
  set(BOOTSTRAPPER_RELEASE_SIGNER ${BOOTSTRAPPER_TEST_SIGNER})
endif()
# What is signed again when the signer changes: the release signer's options (as a file that
# changes only when they do, since make does not see a changed command line) and the test
# publisher's certificate.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/signing/release-signer.txt
     CONTENT "${BOOTSTRAPPER_RELEASE_SIGNER}\n")
set(BOOTSTRAPPER_SIGNER_FILES ${CMAKE_BINARY_DIR}/signing/release-signer.txt
    ${BOOTSTRAPPER_SIGN_CHAIN})

# bootstrapper_sign(<target> [DETAILS <signing.json>])
# Signs the target's file in place with the test publisher after every link, and links it again
# when the publisher changes; DETAILS gives the signature's description and URL. (What ships is
# signed by tooling.ship; see add_setup_variant.)
function(bootstrapper_sign target)
  cmake_parse_arguments(S "" "DETAILS" "" ${ARGN})
  set(details)
  if(S_DETAILS)
    set(details --details ${S_DETAILS})
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${BOOTSTRAPPER_SIGN_CHAIN})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${BOOTSTRAPPER_SIGN_COMMAND} ${BOOTSTRAPPER_TEST_SIGNER} ${details}
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# What the signature and download tests need: small PE files and product packages signed by the
# build's publisher, by a publisher of another authority or of the same one, not at all, or
# changed after signing; setup.exe unsigned and changed after signing; and setup.exe variants that
# fetch the product package from a base URL on the loopback address.
set(trust_dir ${CMAKE_CURRENT_BINARY_DIR}/trust)
set(other_publisher ${CMAKE_BINARY_DIR}/signing/other-publisher)
bootstrapper_make_test_publisher(${other_publisher} "Bootstrapper Other Publisher")

# A second publisher of the build publisher's own test authority: a code-signing certificate of
# another subject that every machine trusting the publisher trusts as much.
set(same_authority ${CMAKE_BINARY_DIR}/signing/same-authority)
bootstrapper_make_test_publisher(${same_authority} "Bootstrapper Second Publisher"
  AUTHORITY ${BOOTSTRAPPER_TEST_PUBLISHER_DIR})

set(sign ${BOOTSTRAPPER_SIGN_COMMAND})
set(sign_publisher ${BOOTSTRAPPER_TEST_SIGNER})
set(sign_other --cert ${other_publisher}/chain.pem --key ${other_publisher}/key.pem)
set(sign_same_authority --cert ${same_authority}/chain.pem --key ${same_authority}/key.pem)
set(tamper ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tamper.py)

add_executable(trust_subject WIN32 ${CMAKE_CURRENT_LIST_DIR}/TrustSubject.cpp)
target_link_options(trust_subject PRIVATE -static -s)

set(demo_package ${BOOTSTRAPPER_DEMO_BUILD_DIR}/CorvellVesk5.msi)
set(trust_files
  ${trust_dir}/unsigned.exe ${trust_dir}/signed.exe ${trust_dir}/other-publisher.exe
  ${trust_dir}/tampered.exe
  ${trust_dir}/signed/CorvellVesk5.msi ${trust_dir}/other-publisher/CorvellVesk5.msi
  ${trust_dir}/same-authority/CorvellVesk5.msi ${trust_dir}/unsigned/CorvellVesk5.msi)
add_custom_command(
  OUTPUT ${trust_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${trust_dir}/signed ${trust_dir}/other-publisher
          ${trust_dir}/same-authority ${trust_dir}/unsigned
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:trust_subject> ${trust_dir}/unsigned.exe
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:trust_subject> ${trust_dir}/signed.exe
  COMMAND ${sign} ${trust_dir}/signed.exe ${sign_publisher}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:trust_subject> ${trust_dir}/other-publisher.exe
  COMMAND ${sign} ${trust_dir}/other-publisher.exe ${sign_other}
  COMMAND ${tamper} ${trust_dir}/signed.exe ${trust_dir}/tampered.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${demo_package} ${trust_dir}/unsigned/CorvellVesk5.msi
  COMMAND ${CMAKE_COMMAND} -E copy ${demo_package} ${trust_dir}/signed/CorvellVesk5.msi
  COMMAND ${sign} ${trust_dir}/signed/CorvellVesk5.msi ${sign_publisher}
  COMMAND ${CMAKE_COMMAND} -E copy ${demo_package} ${trust_dir}/other-publisher/CorvellVesk5.msi
  COMMAND ${sign} ${trust_dir}/other-publisher/CorvellVesk5.msi ${sign_other}
  COMMAND ${CMAKE_COMMAND} -E copy ${demo_package} ${trust_dir}/same-authority/CorvellVesk5.msi
  COMMAND ${sign} ${trust_dir}/same-authority/CorvellVesk5.msi ${sign_same_authority}
  DEPENDS trust_subject demo_package ${demo_package} ${CMAKE_CURRENT_LIST_DIR}/tamper.py
          ${BOOTSTRAPPER_SIGN_CHAIN}
  VERBATIM)
add_custom_target(trust_files ALL DEPENDS ${trust_files})

set(demo_description ${PROJECT_SOURCE_DIR}/products/demo/product.ini)
set(demo_vars PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR})

# setup.exe as the build makes it but unsigned, and signed but changed afterwards.
add_setup_variant(setup-unsigned DESCRIPTION ${demo_description} VARS ${demo_vars} UNSIGNED
  DEPENDS demo_package)
add_custom_command(
  OUTPUT ${trust_dir}/setup-tampered.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${trust_dir}
  COMMAND ${tamper} $<TARGET_FILE:setup> ${trust_dir}/setup-tampered.exe
  DEPENDS setup ${CMAKE_CURRENT_LIST_DIR}/tamper.py
  VERBATIM)
add_custom_target(setup-tampered ALL DEPENDS ${trust_dir}/setup-tampered.exe)

# The demo fetched from a base URL on the loopback address, whose port is fixed when the build is
# configured: a variant carries its settings in its signed resources, so the port cannot follow
# a server started later. The default is taken from the build folder, so that builds side by side
# on one machine use different ports, and lies below the range the system hands out for outgoing
# connections. The test that serves it reads the port from download-port.txt.
string(MD5 build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${build_hash}" 0 4 build_hash)
math(EXPR default_port "20000 + 0x${build_hash} % 10000")
set(BOOTSTRAPPER_TEST_HTTP_PORT ${default_port} CACHE STRING
    "Loopback port of the package server in the download tests")
file(WRITE ${trust_dir}/download-port.txt "${BOOTSTRAPPER_TEST_HTTP_PORT}\n")
set(base_url http://127.0.0.1:${BOOTSTRAPPER_TEST_HTTP_PORT}/packages)
add_setup_variant(setup-download DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET BASEURL=${base_url} NO_PAYLOAD 1004)
add_setup_variant(setup-download-slash DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET BASEURL=${base_url}/ NO_PAYLOAD 1004)
# The same, for a product that accepts only a package signed with setup.exe's own certificate.
add_setup_variant(setup-download-own-signer DESCRIPTION ${demo_description} VARS ${demo_vars}
  SET BASEURL=${base_url} PACKAGESIGNER=SETUP NO_PAYLOAD 1004)

# What the signature and download tests need: small PE files and product packages signed by the
# build's publisher, by a second publisher, not at all, or changed after signing; setup.exe
# unsigned and changed after signing; and setup.exe variants that fetch the product package from a
# base URL on the loopback address.
set(trust_dir ${CMAKE_CURRENT_BINARY_DIR}/trust)
set(other_publisher ${CMAKE_BINARY_DIR}/signing/other-publisher)
bootstrapper_make_test_publisher(${other_publisher} "Bootstrapper Other Publisher")
set(sign sh ${PROJECT_SOURCE_DIR}/cmake/sign.sh)
set(sign_publisher ${BOOTSTRAPPER_SIGN_CHAIN} ${BOOTSTRAPPER_SIGN_KEY})
set(sign_other ${other_publisher}/chain.pem ${other_publisher}/key.pem)
set(tamper ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tamper.py)

add_executable(trust_subject WIN32 ${CMAKE_CURRENT_LIST_DIR}/TrustSubject.cpp)
target_link_options(trust_subject PRIVATE -static -s)

set(demo_package ${BOOTSTRAPPER_DEMO_BUILD_DIR}/CorvellVesk5.msi)
set(trust_files
  ${trust_dir}/unsigned.exe ${trust_dir}/signed.exe ${trust_dir}/other-publisher.exe
  ${trust_dir}/tampered.exe
  ${trust_dir}/signed/CorvellVesk5.msi ${trust_dir}/other-publisher/CorvellVesk5.msi
  ${trust_dir}/unsigned/CorvellVesk5.msi)
add_custom_command(
  OUTPUT ${trust_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${trust_dir}/signed ${trust_dir}/other-publisher
          ${trust_dir}/unsigned
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
  DEPENDS trust_subject demo_package ${demo_package} ${CMAKE_CURRENT_LIST_DIR}/tamper.py
  VERBATIM)
add_custom_target(trust_files ALL DEPENDS ${trust_files})

# setup.exe as the build makes it but unsigned, and signed but changed afterwards.
add_setup_variant(setup_unsigned
  DESCRIPTION ${PROJECT_SOURCE_DIR}/products/demo/product.ini
  VARS PRODUCT_BUILD=${BOOTSTRAPPER_DEMO_BUILD_DIR}
  UNSIGNED
  DEPENDS demo_package)
add_custom_command(
  OUTPUT ${trust_dir}/setup_tampered.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${trust_dir}
  COMMAND ${tamper} $<TARGET_FILE:setup> ${trust_dir}/setup_tampered.exe
  DEPENDS setup ${CMAKE_CURRENT_LIST_DIR}/tamper.py
  VERBATIM)
add_custom_target(setup_tampered ALL DEPENDS ${trust_dir}/setup_tampered.exe)

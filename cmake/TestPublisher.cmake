# The build's own test publishers, made with openssl when a tree is configured; used by the host
# tree, which makes the one test publisher of the whole build, and by the Windows trees.
find_program(OPENSSL_PROGRAM openssl REQUIRED)

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

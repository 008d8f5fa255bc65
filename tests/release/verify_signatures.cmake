# Every file of FILES carries an Authenticode signature that osslsigncode
# (TOOL) verifies against the certificate CERT, and uses SHA-256.
#   cmake -DTOOL=... -DCERT=... -DFILES=a|b|... -P verify_signatures.cmake
string(REPLACE "|" ";" files "${FILES}")
set(failures "")
foreach(file IN LISTS files)
  if(NOT EXISTS "${file}")
    string(APPEND failures "\n  ${file}: missing")
    continue()
  endif()
  execute_process(COMMAND ${TOOL} verify -CAfile ${CERT} -in ${file}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    string(APPEND failures "\n  ${file}: ${output}")
  elseif(NOT output MATCHES "Message digest algorithm *: SHA256")
    string(APPEND failures "\n  ${file}: not signed with SHA-256:\n${output}")
  else()
    message(STATUS "signed: ${file}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "Signatures that do not verify:${failures}")
endif()

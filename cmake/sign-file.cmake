# Signs FILE in place with osslsigncode (TOOL): the certificate PFX, whose
# password is the first line of PASSWORD_FILE; SHA-256; a time stamp from
# TIMESTAMP_URL when one is named. The signing time is SOURCE_DATE_EPOCH when
# the environment sets it, so that a release signed twice is signed alike.
# With COPY_TO, the signed file is copied there too (the setup's uninstaller,
# which otherwise exists only inside the setup).
#   cmake -DTOOL=... -DPFX=... -DPASSWORD_FILE=... [-DTIMESTAMP_URL=...] -DFILE=... [-DCOPY_TO=...] -P sign-file.cmake
foreach(needed TOOL PFX PASSWORD_FILE FILE)
  if(NOT DEFINED ${needed} OR "${${needed}}" STREQUAL "")
    message(FATAL_ERROR "sign-file.cmake: ${needed} is not given")
  endif()
endforeach()
set(arguments sign -pkcs12 ${PFX} -readpass ${PASSWORD_FILE} -h sha256 -n "Drearigrams Screensaver")
if(TIMESTAMP_URL)
  list(APPEND arguments -ts ${TIMESTAMP_URL})
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND arguments -time $ENV{SOURCE_DATE_EPOCH})
endif()
set(signed "${FILE}.signing")
file(REMOVE "${signed}")
execute_process(COMMAND ${TOOL} ${arguments} -in ${FILE} -out ${signed}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "Could not sign ${FILE}: ${output}")
endif()
file(RENAME "${signed}" "${FILE}")
if(COPY_TO)
  file(COPY_FILE "${FILE}" "${COPY_TO}")
endif()

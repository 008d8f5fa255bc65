# Authenticode signatures. Windows meets an unsigned program with
# SmartScreen's warning, and administrators' policies refuse it, so every
# program of the product and the setup are signed when the build is given a
# certificate:
#   DG_SIGNING_PFX            the maker's code-signing certificate with its
#                             private key, a PKCS#12 (.pfx) file; THROWAWAY: a
#                             certificate made in the build folder, for the
#                             tests; empty or NONE: nothing is signed
#   DG_SIGNING_PASSWORD_FILE  a file whose first line is the PFX's password,
#                             so that it stays out of the cache and of
#                             command lines
#   DG_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamping service: a signature
#                             with a time stamp stays valid after the
#                             certificate expires (optional)
# Signing uses osslsigncode with SHA-256. Each program is kept unsigned in
# bin/unsigned/ as well: those are the bytes that must be the same from build
# to build (the signature of a throwaway certificate never is).
set(DG_SIGNING_PFX "" CACHE STRING "Code-signing certificate (.pfx), THROWAWAY (made here, for tests) or NONE")
set(DG_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "File holding the certificate's password")
set(DG_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service for the signatures (optional)")

# dg_sign_program(target): signs the program after each link, keeping the
# unsigned bytes in bin/unsigned/.
function(dg_sign_program target)
  if(NOT DG_SIGN_COMMAND)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/unsigned
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/bin/unsigned/
    COMMAND ${DG_SIGN_COMMAND} -DFILE=$<TARGET_FILE:${target}> -P ${DG_SIGN_SCRIPT}
    COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
    VERBATIM)
endfunction()

set(DG_SIGN_COMMAND "" CACHE INTERNAL "")
set(DG_SIGNING_CERT_PEM "" CACHE INTERNAL "The throwaway certificate, for the tests' verification")
if(DG_SIGNING_PFX STREQUAL "" OR DG_SIGNING_PFX STREQUAL "NONE")
  message(WARNING "The programs and the setup are NOT signed: Windows will warn every user who starts them. "
                  "For a release, configure with -DDG_SIGNING_PFX=/path/to/maker.pfx "
                  "-DDG_SIGNING_PASSWORD_FILE=/path/to/password.txt (see the README).")
  return()
endif()

find_program(DG_OSSLSIGNCODE NAMES osslsigncode)
if(NOT DG_OSSLSIGNCODE)
  message(FATAL_ERROR "DG_SIGNING_PFX is set, but osslsigncode is not installed")
endif()

set(pfx "${DG_SIGNING_PFX}")
set(password_file "${DG_SIGNING_PASSWORD_FILE}")
if(DG_SIGNING_PFX STREQUAL "THROWAWAY")
  # A self-signed code-signing certificate of this build folder's own, made
  # once; the tests verify every signature against it.
  set(folder ${CMAKE_BINARY_DIR}/signing)
  set(pfx ${folder}/throwaway.pfx)
  set(password_file ${folder}/throwaway.pass)
  set(cert ${folder}/throwaway.pem)
  if(NOT EXISTS ${pfx})
    find_program(DG_OPENSSL NAMES openssl REQUIRED)
    file(MAKE_DIRECTORY ${folder})
    string(RANDOM LENGTH 24 password)
    file(WRITE ${password_file} "${password}\n")
    execute_process(
      COMMAND ${DG_OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ${folder}/throwaway.key
              -out ${cert} -subj "/CN=Drearigrams test signing (throwaway)"
              -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature"
      RESULT_VARIABLE made OUTPUT_QUIET ERROR_QUIET)
    if(made EQUAL 0)
      execute_process(
        COMMAND ${DG_OPENSSL} pkcs12 -export -out ${pfx} -inkey ${folder}/throwaway.key -in ${cert}
                -passout file:${password_file}
        RESULT_VARIABLE made OUTPUT_QUIET ERROR_QUIET)
    endif()
    file(REMOVE ${folder}/throwaway.key)
    if(NOT made EQUAL 0)
      file(REMOVE ${pfx})
      message(FATAL_ERROR "Could not make the throwaway signing certificate with ${DG_OPENSSL}")
    endif()
  endif()
  set(DG_SIGNING_CERT_PEM ${cert} CACHE INTERNAL "The throwaway certificate, for the tests' verification")
  message(STATUS "Signing with a throwaway certificate made for the tests (${pfx}): not for a release")
else()
  if(NOT EXISTS "${pfx}")
    message(FATAL_ERROR "DG_SIGNING_PFX names ${pfx}, which is no file")
  endif()
  if(password_file STREQUAL "" OR NOT EXISTS "${password_file}")
    message(FATAL_ERROR "DG_SIGNING_PASSWORD_FILE must name the file that holds the password of ${pfx}")
  endif()
  message(STATUS "Signing every program and the setup with ${pfx}")
endif()

# The command that signs one file in place: this, then -DFILE=... -P
# ${DG_SIGN_SCRIPT}.
set(DG_SIGN_COMMAND ${CMAKE_COMMAND} -DTOOL=${DG_OSSLSIGNCODE} -DPFX=${pfx} -DPASSWORD_FILE=${password_file}
    "-DTIMESTAMP_URL=${DG_SIGNING_TIMESTAMP_URL}" CACHE INTERNAL "")
set(DG_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign-file.cmake CACHE INTERNAL "")

# The setup's key choice (cmake/maker_key.cmake), each case in a cmake of its
# own, as a configuration would meet it: without a key the setup is not
# built, the demo's key is refused, NONE and a key file are taken.
#   cmake -DSOURCE_DIR=... -DWORK=... -P maker_key_test.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/maker.pub" "00\n")
file(WRITE "${WORK}/demo-maker.pub" "00\n")
set(failures 0)

function(expect value ok text)
  file(WRITE "${WORK}/case.cmake"
       "include(\"${SOURCE_DIR}/cmake/maker_key.cmake\")\n"
       "dg_maker_key(\"${value}\" \"${WORK}/demo-maker.pub\" json file)\n"
       "message(STATUS \"makerKey \${json} file \${file}\")\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -P "${WORK}/case.cmake"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
  if(ok AND NOT result EQUAL 0)
    message(SEND_ERROR "DG_MAKER_KEY_FILE=\"${value}\": refused: ${said}")
  elseif(NOT ok AND result EQUAL 0)
    message(SEND_ERROR "DG_MAKER_KEY_FILE=\"${value}\": taken: ${said}")
  endif()
  string(FIND "${said}" "${text}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "DG_MAKER_KEY_FILE=\"${value}\": expected \"${text}\" in: ${said}")
  endif()
endfunction()

expect("" FALSE "The setup's catalogue needs the content maker's public key: configure with -DDG_MAKER_KEY_FILE=")
expect("${WORK}/demo-maker.pub" FALSE "names the demo maker's key")
expect("${WORK}/missing.pub" FALSE "DG_MAKER_KEY_FILE names ${WORK}/missing.pub, which is no file.")
expect("NONE" TRUE "makerKey null file")
expect("${WORK}/maker.pub" TRUE "makerKey {\"file\": \"${WORK}/maker.pub\"} file ${WORK}/maker.pub")

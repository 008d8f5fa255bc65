# The content maker's key for the setup's starting catalogue, from
# DG_MAKER_KEY_FILE: the path of a public key file (paktool key new), or
# NONE for a catalogue that takes lists unchecked. Nothing else will do: a
# setup that silently carried some other key (the demo's, whose private half
# lies in every build folder) would let anyone sign lists for its users.
#
# dg_maker_key(VALUE DEMO_KEY JSON_VAR FILE_VAR) sets JSON_VAR to the
# catalogue description's makerKey ({"file": ...} or null) and FILE_VAR to
# the key file (empty for NONE), or stops the configuration with the reason.
function(dg_maker_key value demo_key json_var file_var)
  if(value STREQUAL "")
    message(FATAL_ERROR
      "The setup's catalogue needs the content maker's public key: configure with "
      "-DDG_MAKER_KEY_FILE=/path/to/maker.pub (made with paktool key new), or with -DDG_MAKER_KEY_FILE=NONE "
      "for a catalogue that takes lists unchecked, or build no setup (-DDG_BUILD_SETUP=OFF).")
  endif()
  if(value STREQUAL "NONE")
    set(${json_var} "null" PARENT_SCOPE)
    set(${file_var} "" PARENT_SCOPE)
    return()
  endif()
  get_filename_component(path "${value}" ABSOLUTE)
  if(NOT demo_key STREQUAL "")
    get_filename_component(demo "${demo_key}" ABSOLUTE)
    if(path STREQUAL demo)
      message(FATAL_ERROR
        "DG_MAKER_KEY_FILE names the demo maker's key, whose private half lies in the build folder; it is the "
        "demo's only. Give your own public key, or NONE.")
    endif()
  endif()
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "DG_MAKER_KEY_FILE names ${value}, which is no file.")
  endif()
  set(${json_var} "{\"file\": \"${path}\"}" PARENT_SCOPE)
  set(${file_var} "${path}" PARENT_SCOPE)
endfunction()

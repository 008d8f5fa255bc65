# A second build of the same source, in another folder, gives the release
# programs byte for byte as the first one did (their unsigned bytes: a
# throwaway certificate's signature differs from build to build by design).
#   cmake -DSETTINGS=<file of set() lines> -P reproducible_test.cmake
# SETTINGS gives SOURCE_DIR, WORK, GENERATOR, TOOLCHAIN, TOOL_DIR,
# TOOL_EMULATOR, UNSIGNED_DIR and PROGRAMS (file names in bin/).
include(${SETTINGS})
file(REMOVE_RECURSE ${WORK})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK} -G ${GENERATOR}
          -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
          -DDG_BUILD_SETUP=OFF -DDG_SIGNING_PFX=NONE -DDG_MAKER_KEY_FILE=NONE -DDG_HOST_RUNS_32=OFF
          -DDG_TOOL_DIR=${TOOL_DIR} "-DDG_TOOL_EMULATOR=${TOOL_EMULATOR}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The second build could not be configured:\n${output}")
endif()
set(targets)
foreach(program IN LISTS PROGRAMS)
  get_filename_component(target ${program} NAME_WE)
  list(APPEND targets ${target})
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target ${targets}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The second build failed:\n${output}")
endif()
set(different "")
foreach(program IN LISTS PROGRAMS)
  file(SHA256 ${UNSIGNED_DIR}/${program} first)
  file(SHA256 ${WORK}/bin/${program} second)
  if(first STREQUAL second)
    message(STATUS "the same: ${program} (${first})")
  else()
    string(APPEND different "\n  ${program}: ${first} in the first build, ${second} in the second")
  endif()
endforeach()
if(different)
  message(FATAL_ERROR "Not the same bytes from the same source:${different}")
endif()
file(REMOVE_RECURSE ${WORK})

# Runs one build-time command with no terminal and no pipe attached: standard
# input from the null device, standard output and error into a log file.
#
#   cmake -DLOG=<file> -P run-quiet.cmake <command> [arguments...]
#
# Wine starts its service processes the first time a prefix is used, and they
# keep the standard streams of the program that caused it. Were that a pipe
# of the build tool's, the build tool would wait for it to close, which never
# happens. A file keeps nobody waiting. On failure the build stops with the
# log's text.
if(NOT LOG)
  message(FATAL_ERROR "run-quiet.cmake: pass -DLOG=<file>")
endif()

set(command)
set(after_script FALSE)
set(seen_p FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  set(argument "${CMAKE_ARGV${i}}")
  if(after_script)
    list(APPEND command "${argument}")
  elseif(seen_p)
    set(after_script TRUE)
  elseif(argument STREQUAL "-P")
    set(seen_p TRUE)
  endif()
endforeach()
if(NOT command)
  message(FATAL_ERROR "run-quiet.cmake: no command given")
endif()

if(CMAKE_HOST_WIN32)
  set(null_device NUL)
else()
  set(null_device /dev/null)
endif()

execute_process(COMMAND ${command}
  INPUT_FILE ${null_device}
  OUTPUT_FILE ${LOG}
  ERROR_FILE ${LOG}
  RESULT_VARIABLE result
  TIMEOUT 600)
if(NOT result EQUAL 0)
  file(READ ${LOG} output)
  list(JOIN command " " shown)
  message(FATAL_ERROR "${shown}\nfailed (${result}):\n${output}")
endif()

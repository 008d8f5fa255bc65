# The part the two MinGW-w64 toolchain files share; they set MINGW_PREFIX
# (the compilers' name prefix) and DG_WINE_NAME (Wine's loader for the
# edition) first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest and the build-time tools run the Windows programs through Wine: the
# 64-bit loader for the 64-bit edition, the 32-bit one for the 32-bit edition
# (whose prefix is a 32-bit Windows).
find_program(DG_WINE_LOADER NAMES ${DG_WINE_NAME} PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT DG_WINE_LOADER)
  find_program(DG_WINE_LOADER NAMES ${DG_WINE_NAME} wine)
endif()
if(DG_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DG_WINE_LOADER})
endif()

# Cross-compiling the 64-bit edition with Debian's MinGW-w64 (posix thread
# model). On Windows with a native MinGW-w64 this file is not used: configure
# with the toolchain on PATH instead.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
set(DG_WINE_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

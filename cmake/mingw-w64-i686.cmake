# Cross-compiling the 32-bit edition with Debian's MinGW-w64 (posix thread
# model, packages g++-mingw-w64-i686-posix and binutils-mingw-w64-i686). On
# Windows with a native 32-bit MinGW-w64 this file is not used: configure
# with that toolchain on PATH instead.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_PREFIX i686-w64-mingw32)
set(DG_WINE_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

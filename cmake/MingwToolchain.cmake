# SPDX-License-Identifier: Zlib
# Shared part of the mingw-w64 toolchain files: cross-compiles for Windows
# with Debian's mingw-w64 toolchain for the triplet KIV_MINGW_TARGET. The
# "-posix" compilers carry the C++ threading library that GoogleTest needs;
# every target links its runtimes statically (see KivLibrary.cmake), so that
# nothing but the system's DLLs is needed at run time. Test programs run
# under Wine's loader for the same architecture, KIV_WINE_LOADER.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KIV_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian keeps one loader per architecture in /usr/lib/wine; its "wine"
# command picks the 32-bit one whenever that is installed. Naming the
# loader keeps 64-bit programs off the 32-bit one, and lets the 32-bit suite
# run where 32-bit programs run only under emulation.
find_program(KIV_WINE_PROGRAM NAMES ${KIV_WINE_LOADER} PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KIV_WINE_PROGRAM)
  find_program(KIV_WINE_PROGRAM NAMES ${KIV_WINE_LOADER} wine)
endif()
if(KIV_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_WINE_PROGRAM})
endif()

# SPDX-License-Identifier: Zlib
# 32-bit Windows, the libraries' home platform.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KIV_MINGW_TARGET i686-w64-mingw32)
set(KIV_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)

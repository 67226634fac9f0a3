# SPDX-License-Identifier: Zlib
# 64-bit Windows, for installers that run as 64-bit processes.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KIV_MINGW_TARGET x86_64-w64-mingw32)
set(KIV_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)

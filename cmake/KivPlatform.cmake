# SPDX-License-Identifier: Zlib
# How the tree picks a platform layer's file, in one place: the main build
# (KivLibrary.cmake) and every source list that names platform files
# (kivsubst/sources.cmake, which the fuzzing project includes too) use it.
include_guard(GLOBAL)

# kiv_platform_sources(<variable> <stem>...)
#
# Appends to <variable> the file of each stem for the system being built
# for: <stem>_win32.cpp on Windows, <stem>_posix.cpp elsewhere. Each thin
# platform layer is one such pair.
function(kiv_platform_sources variable)
  if(WIN32)
    set(suffix _win32.cpp)
  else()
    set(suffix _posix.cpp)
  endif()
  set(files ${${variable}})
  foreach(stem IN LISTS ARGN)
    list(APPEND files "${stem}${suffix}")
  endforeach()
  set(${variable} ${files} PARENT_SCOPE)
endfunction()

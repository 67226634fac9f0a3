# SPDX-License-Identifier: Zlib
# kiv_description(<key> <variable>)
#
# Sets <variable> to the text of the line "<key>: ..." in kiv.description,
# the package's one description, from which the release's packager writes
# the .deb's Description too: the project's description is its summary,
# each library's .pc file says its library's line.
function(kiv_description key variable)
  file(STRINGS "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kiv.description" lines
    REGEX "^${key}: " ENCODING UTF-8)
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cmake/kiv.description: expected one line '${key}: ...', found ${count}")
  endif()
  string(REGEX REPLACE "^${key}: " "" text "${lines}")
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()

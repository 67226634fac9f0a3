# SPDX-License-Identifier: Zlib
# cmake -DLIBRARY=<shared library> -DEXPORTS=<name;...> [-DONLY_C_LIBRARY=ON]
#       -P CheckExports.cmake
#
# Fails unless the library's dynamic symbol table defines exactly EXPORTS,
# and, with ONLY_C_LIBRARY, if it needs at load time anything but the C
# library and the dynamic loader.

# What `tool` (a program of binutils) prints about the library, given
# the options that follow; the check fails if the tool cannot read it.
function(read_library variable tool)
  find_program(program_${tool} ${tool} REQUIRED)
  execute_process(COMMAND ${program_${tool}} ${ARGN} "${LIBRARY}"
    OUTPUT_VARIABLE output RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${tool} could not read ${LIBRARY}")
  endif()
  set(${variable} "${output}" PARENT_SCOPE)
endfunction()

read_library(table nm -D --defined-only)
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(defined "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" symbol "${line}")
  list(APPEND defined "${symbol}")
endforeach()
list(SORT defined)
set(expected ${EXPORTS})
list(SORT expected)
if(NOT defined STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} defines [${defined}], expected exactly [${expected}]")
endif()
message(STATUS "${LIBRARY} defines exactly [${defined}]")

if(ONLY_C_LIBRARY)
  read_library(dynamic readelf -d)
  string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]" entries "${dynamic}")
  set(needed "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\[(.+)\\]" "\\1" soname "${entry}")
    list(APPEND needed "${soname}")
    if(NOT soname MATCHES "^(libc\\.so|ld-linux[-a-z0-9_]*\\.so)\\.[0-9]+$")
      message(FATAL_ERROR "${LIBRARY} needs ${soname}; it may need only the C library and the loader")
    endif()
  endforeach()
  message(STATUS "${LIBRARY} needs only [${needed}]")
endif()

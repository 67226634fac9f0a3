# SPDX-License-Identifier: Zlib
# cmake -DLIBRARY=<shared library> -DEXPORTS=<name;...> [-DONLY_C_LIBRARY=ON]
#       -P CheckExports.cmake
#
# Fails unless the library's dynamic symbol table defines exactly EXPORTS,
# and, with ONLY_C_LIBRARY, if it needs at load time anything but the C
# library and the dynamic loader.
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm could not read ${LIBRARY}")
endif()
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
  find_program(READELF readelf REQUIRED)
  execute_process(COMMAND ${READELF} -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "readelf could not read ${LIBRARY}")
  endif()
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

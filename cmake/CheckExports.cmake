# SPDX-License-Identifier: Zlib
# cmake -DLIBRARY=<shared library> -DEXPORTS=<name;...> -P CheckExports.cmake
#
# Fails unless the library's dynamic symbol table defines exactly EXPORTS.
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

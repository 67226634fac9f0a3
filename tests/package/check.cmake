# SPDX-License-Identifier: Zlib
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DC_FLAGS=... -DLINK_FLAGS=... -P check.cmake
#
# Installs the build into a fresh prefix, runs the installed front ends from
# there (they must find their libraries by themselves), then builds and runs
# the consumer against that prefix.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(program IN ITEMS kivcopy kivsubst)
  run("${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH "${prefix}/bin/${program}" --version)
endforeach()
# Every installed manual page renders.
find_program(MAN man REQUIRED)
file(GLOB_RECURSE pages "${prefix}/share/man/*.[13]")
list(LENGTH pages page_count)
if(page_count LESS 2)
  message(FATAL_ERROR "expected the manual pages under ${prefix}/share/man, found [${pages}]")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND "${MAN}" -l "${page}" RESULT_VARIABLE failed OUTPUT_VARIABLE text
                  ERROR_VARIABLE warnings)
  if(failed OR NOT text MATCHES "NAME" OR warnings)
    message(FATAL_ERROR "${page} does not render: ${warnings}")
  endif()
endforeach()
# Each library's .pc file describes it by every function it exports (the
# global names of its linker version script).
foreach(library IN ITEMS kivcopy kivsubst)
  file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../../${library}/${library}.map" global REGEX "global:")
  string(REGEX REPLACE "^.*global:" "" global "${global}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" exports "${global}")
  file(GLOB_RECURSE pc_file "${prefix}/*/${library}.pc")
  file(STRINGS "${pc_file}" description REGEX "^Description: ")
  if(NOT exports OR NOT description)
    message(FATAL_ERROR "no exports [${exports}] or no Description in [${pc_file}]")
  endif()
  foreach(function IN LISTS exports)
    if(NOT description MATCHES "[^A-Za-z]${function}[^A-Za-z]")
      message(FATAL_ERROR "${pc_file}: the ${description} does not name ${function}")
    endif()
  endforeach()
endforeach()
run("${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}" "-DCMAKE_BUILD_RPATH=${prefix}/lib")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
foreach(program IN ITEMS through_cmake through_pkgconfig)
  run("${WORK_DIR}/build/${program}")
endforeach()
message(STATUS "installed package builds and runs through CMake and pkg-config")

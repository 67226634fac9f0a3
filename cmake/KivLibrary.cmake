# SPDX-License-Identifier: Zlib
# Shared build rules for the two libraries and their programs, so that both
# libraries are built, exported and installed the same way.

# The project's warning set, applied only when KIV_WARNINGS is on (the presets
# turn it on; consumers building us as a subproject are not forced into it).
function(kiv_target_warnings target)
  if(NOT KIV_WARNINGS)
    return()
  endif()
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wcast-qual -Wformat=2 -Wundef -Wold-style-cast)
  endif()
endfunction()

# Every library and program that we ship carries its own copy of the C++
# and GCC runtimes, so that nothing but the system's C library is needed
# beside it (on Windows KERNEL32 and msvcrt, on Linux libc): an installer
# can take the library to a machine whose C++ runtime is older or missing,
# and loading it never pays for a second runtime's relocations (a
# millisecond of each process's start on our machines). Nothing of the
# runtime is exported (the version script keeps only the export) and no
# C++ object crosses the C interface, so a host with its own C++ runtime
# is unaffected. KIV_STATIC_RUNTIME=OFF links the system's shared runtime
# instead on ELF, as the sanitizers need.
function(kiv_link_runtime_statically target)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  elseif(KIV_STATIC_RUNTIME AND NOT APPLE)
    target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++)
  endif()
endfunction()

# The tree's one rule for choosing a platform layer's file
# (kiv_platform_sources), shared with the fuzzing project.
include("${CMAKE_CURRENT_LIST_DIR}/KivPlatform.cmake")

# A path as the programs under test see it: Wine shows the host's file
# system as drive Z:.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(KIV_TARGET_PATH_PREFIX "Z:")
else()
  set(KIV_TARGET_PATH_PREFIX "")
endif()

# Windows: the DLL exports its function under the plain name, whatever the
# calling convention. Under 32-bit stdcall the function's symbol is "name@n"
# (n the bytes of its arguments); the module definition file lists that
# symbol and --kill-at exports it as "name". 64-bit Windows has one calling
# convention and never decorates, so there the symbol is the plain name. The linker would write an import library
# with the plain name too, which callers compiled against the header (who
# ask for "name@n") cannot link with, so dlltool writes it instead: it maps
# "name@n" to the plain export.
function(kiv_export_undecorated name argument_bytes)
  if(KIV_CDECL OR CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KIV_DECORATION "")
  else()
    set(KIV_DECORATION "@${argument_bytes}")
  endif()
  # A further export whose arguments take other room names its decoration
  # by that room: @KIV_DECORATION_16@ for 16 bytes.
  foreach(bytes RANGE 4 64 4)
    if(KIV_DECORATION)
      set(KIV_DECORATION_${bytes} "@${bytes}")
    else()
      set(KIV_DECORATION_${bytes} "")
    endif()
  endforeach()
  set(def "${CMAKE_CURRENT_BINARY_DIR}/${name}.def")
  configure_file("${CMAKE_CURRENT_SOURCE_DIR}/${name}.def.in" "${def}" @ONLY)
  target_sources(${name} PRIVATE "${def}")
  target_link_options(${name} PRIVATE -Wl,--kill-at)
  set_target_properties(${name} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
  # The mingw-w64 toolchain files name their target's triplet.
  find_program(KIV_DLLTOOL NAMES ${KIV_MINGW_TARGET}-dlltool dlltool REQUIRED)
  # dlltool names the library's symbols and members after --output-lib as
  # given: a name without a folder keeps the build folder out of them.
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND "${KIV_DLLTOOL}" --kill-at --def "${def}" --dllname "$<TARGET_FILE_NAME:${name}>"
            --output-lib "$<TARGET_LINKER_FILE_NAME:${name}>"
    WORKING_DIRECTORY "$<TARGET_LINKER_FILE_DIR:${name}>"
    COMMENT "Writing the import library of ${name}.dll")
endfunction()

# Compile settings that a library's own code gets wherever it is compiled:
# in its core and in its export.
function(kiv_library_code target library)
  string(TOUPPER "${library}" upper)
  target_compile_definitions(${target} PRIVATE ${upper}_BUILDING)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  if(NOT WIN32)
    # Large-file interfaces on 32-bit hosts too: sizes and offsets are 64-bit.
    target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  endif()
  if(KIV_CDECL)
    target_compile_definitions(${target} PUBLIC KIV_CDECL)
  endif()
  kiv_target_warnings(${target})
endfunction()

# The public header as the build and the installed package see it: the
# header in <library>/include with the library's version (the project's, so
# that it is set in one place) and, for a cdecl build, the convention it
# was built with written into it. Written to <binary dir>/include, which
# every user of the library inside the build sees first.
function(kiv_generate_header library)
  string(TOUPPER "${library}" upper)
  set(block "/* The version of the library this header came with. */\n"
            "#define ${upper}_VERSION_MAJOR ${PROJECT_VERSION_MAJOR}\n"
            "#define ${upper}_VERSION_MINOR ${PROJECT_VERSION_MINOR}\n"
            "#define ${upper}_VERSION_PATCH ${PROJECT_VERSION_PATCH}\n"
            "#define ${upper}_VERSION \"${PROJECT_VERSION}\"\n")
  if(KIV_CDECL)
    list(APPEND block "\n#ifndef KIV_CDECL\n#define KIV_CDECL 1\n#endif\n")
  endif()
  string(JOIN "" block ${block})
  file(READ "${CMAKE_CURRENT_SOURCE_DIR}/include/${library}.h" header)
  string(REPLACE "#include <stdint.h>\n" "#include <stdint.h>\n\n${block}" header "${header}")
  # Rewritten only when it changes, so that an unchanged header costs no rebuild.
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/include/${library}.h")
  set(previous "")
  if(EXISTS "${generated}")
    file(READ "${generated}" previous)
  endif()
  if(NOT previous STREQUAL header)
    file(WRITE "${generated}" "${header}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/include/${library}.h")
endfunction()

# kiv_add_core(<library> SOURCES <files>...)
#
# The library's logic and platform layer, everything but its export, as an
# object library named <library>_core: compiled once, and linked into the
# shared library and into the test programs that reach inside it. Its
# sources see src/ and the public header.
function(kiv_add_core library)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES")
  add_library(${library}_core OBJECT ${arg_SOURCES})
  kiv_generate_header(${library})
  target_include_directories(${library}_core PUBLIC "${CMAKE_CURRENT_BINARY_DIR}/include"
    "${CMAKE_CURRENT_SOURCE_DIR}/src")
  target_link_libraries(${library}_core PUBLIC kiv_common kiv_fs)
  kiv_library_code(${library}_core ${library})
endfunction()

# kiv_add_library(<name> STDCALL_ARGUMENT_BYTES <n> SOURCES <files>...)
#
# Builds the shared library <name> from its export in SOURCES and its core
# (kiv_add_core), with its public header in <name>/include and its line of
# cmake/kiv.description as its .pc file's description. Every symbol is
# hidden except the one export: hidden visibility keeps our own functions
# private, and the linker version script (ELF) or module definition file
# (Windows) also keeps out the inline and template functions that the C++
# runtime's headers would otherwise export.
function(kiv_add_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "STDCALL_ARGUMENT_BYTES" "SOURCES")
  add_library(${name} SHARED ${arg_SOURCES})
  add_library(kiv::${name} ALIAS ${name})
  target_link_libraries(${name} PRIVATE ${name}_core kiv_common)
  set_property(GLOBAL APPEND PROPERTY KIV_LIBRARIES ${name})
  kiv_library_code(${name} ${name})
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER "${CMAKE_CURRENT_BINARY_DIR}/include/${name}.h"
    EXPORT_NAME ${name})
  if(WIN32)
    kiv_export_undecorated(${name} ${arg_STDCALL_ARGUMENT_BYTES})
  elseif(NOT APPLE)
    set(script "${CMAKE_CURRENT_SOURCE_DIR}/${name}.map")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${script}" "LINKER:--no-undefined")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${script}")
  endif()
  kiv_link_runtime_statically(${name})

  # The .pc file finds the prefix from its own place, so that it stays true
  # wherever `cmake --install --prefix` puts the files.
  kiv_description(${name} description)
  file(RELATIVE_PATH pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/library.pc.in"
    "${CMAKE_CURRENT_BINARY_DIR}/${name}.pc" @ONLY)
  install(TARGETS ${name} EXPORT kivTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${name}.pc"
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# kiv_add_tool(<name> SOURCES <files>... CORE <library>)
#
# Builds a command-line front end from SOURCES and its platform layer
# (cli/system_posix.cpp or cli/system_win32.cpp). It links its library's
# core (kiv_add_core) into the program itself and works through the core's
# internal interface, so that it can hand the core the directories it holds
# open; installers use the shared library's export.
function(kiv_add_tool name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "CORE" "SOURCES")
  # The system's entry point calls the front end's own main (kivcli/entry.h):
  # on Windows the wide one, which takes the command line as UTF-16.
  set(sources ${arg_SOURCES})
  kiv_platform_sources(sources cli/system "${PROJECT_SOURCE_DIR}/common/cli/src/entry")
  add_executable(${name}-cli ${sources})
  set_target_properties(${name}-cli PROPERTIES OUTPUT_NAME ${name})
  target_link_libraries(${name}-cli PRIVATE ${arg_CORE}_core kiv_cli kiv_common)
  kiv_target_warnings(${name}-cli)
  kiv_link_runtime_statically(${name}-cli)
  if(WIN32)
    target_link_options(${name}-cli PRIVATE -municode)
  else()
    # Large-file interfaces on 32-bit hosts too, as in the core.
    target_compile_definitions(${name}-cli PRIVATE _FILE_OFFSET_BITS=64)
  endif()
  install(TARGETS ${name}-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# kiv_add_test(<name> SOURCES <files>... LIBRARIES <libs>... [LABELS <label>]
#              [SLOW <gtest filter>])
#
# A GoogleTest program whose tests CTest discovers one by one, each with
# the label given (for ctest -L and -LE). One label only: the discovered
# tests' properties pass through CMake's lists, where a second label would
# be read as a property's name. The tests that SLOW matches (a GoogleTest
# filter) take the label "slow" instead, so that the everyday loop can
# leave them out (CONTRIBUTING.md).
function(kiv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SLOW" "SOURCES;LIBRARIES;LABELS")
  list(LENGTH arg_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "kiv_add_test(${name}): one label only, not ${arg_LABELS}")
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kiv_testsupport ${arg_LIBRARIES} GTest::gtest_main)
  kiv_target_warnings(${name})
  if(WIN32)
    kiv_link_runtime_statically(${name})
    # Windows finds a program's DLLs beside it (if it uses any of ours).
    set(dlls "$<TARGET_RUNTIME_DLLS:${name}>")
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "$<IF:$<BOOL:${dlls}>,${CMAKE_COMMAND};-E;copy_if_different;${dlls};$<TARGET_FILE_DIR:${name}>,${CMAKE_COMMAND};-E;true>"
      COMMAND_EXPAND_LISTS)
  endif()
  # Listing the tests goes through Wine in a cross build, which may be
  # slow to start.
  set(properties)
  if(arg_LABELS)
    set(properties PROPERTIES LABELS "${arg_LABELS}")
  endif()
  if(arg_SLOW)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      TEST_FILTER "-${arg_SLOW}" ${properties})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      TEST_FILTER "${arg_SLOW}" PROPERTIES LABELS slow)
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 ${properties})
  endif()
endfunction()

# kiv_add_restart_test(<name> SOURCES <files>... LIBRARIES <libs>...)
#
# Windows builds under Wine: a GoogleTest program whose cases restart the
# machine (wineboot -r carries out the restart entries), run one after
# another as one test in a Wine prefix of their own, a copy of the suite's
# (or, without one, a new prefix), where neither the restart nor the
# entries they queue can reach the other tests.
function(kiv_add_restart_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kiv_testsupport ${arg_LIBRARIES} GTest::gtest_main)
  kiv_target_warnings(${name})
  kiv_link_runtime_statically(${name})
  set(dlls "$<TARGET_RUNTIME_DLLS:${name}>")
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND "$<IF:$<BOOL:${dlls}>,${CMAKE_COMMAND};-E;copy_if_different;${dlls};$<TARGET_FILE_DIR:${name}>,${CMAKE_COMMAND};-E;true>"
    COMMAND_EXPAND_LISTS)
  set(prefix "${CMAKE_CURRENT_BINARY_DIR}/${name}-wineprefix")
  add_test(NAME ${name}_prefix
    COMMAND sh -c "WINEPREFIX='${prefix}' wineserver -k 2>/dev/null; rm -rf '${prefix}' && if [ -d \"$WINEPREFIX/drive_c\" ]; then cp -a \"$WINEPREFIX\" '${prefix}'; else WINEPREFIX='${prefix}' '${CMAKE_CROSSCOMPILING_EMULATOR}' wineboot --init >/dev/null 2>&1; fi")
  set_tests_properties(${name}_prefix PROPERTIES FIXTURES_SETUP ${name}_prefix)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED ${name}_prefix
    ENVIRONMENT "WINEPREFIX=${prefix}"
    TIMEOUT 900)
endfunction()

# kiv_add_code_page_932_test(<name> <test program> <gtest filter>)
#
# Windows builds under Wine: runs the filtered tests once more in a process
# whose ANSI code page is 932 (Japanese, double-byte). Wine takes the code
# page from LANG; the Japanese locale it needs is made for the build alone
# (localedef into the build tree, named by LOCPATH), so the system is not
# touched. The run passes only if every filtered test ran and passed: one
# that skips there, or a filter that matches nothing, would prove nothing.
function(kiv_add_code_page_932_test name program filter)
  set(locale_dir "${PROJECT_BINARY_DIR}/locale")
  if(NOT TEST kiv_japanese_locale)
    add_test(NAME kiv_japanese_locale
      COMMAND sh -c "mkdir -p '${locale_dir}' && localedef -i ja_JP -f UTF-8 '${locale_dir}/ja_JP.UTF-8'")
    set_tests_properties(kiv_japanese_locale PROPERTIES FIXTURES_SETUP japanese_locale)
  endif()
  add_test(NAME ${name} COMMAND ${program} --gtest_filter=${filter})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED japanese_locale
    ENVIRONMENT "LANG=ja_JP.UTF-8;LOCPATH=${locale_dir}"
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [1-9][0-9]* tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  (SKIPPED|FAILED) +\\]")
endfunction()

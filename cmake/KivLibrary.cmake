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

# kiv_add_library(<name> DESCRIPTION <text> SOURCES <files>...)
#
# Builds the shared library <name> from <name>/src, with its public header in
# <name>/include. Every symbol is hidden except the one export: hidden
# visibility keeps our own functions private, and the linker version script
# (ELF) or module definition file (Windows) also keeps out the inline and
# template functions that the C++ runtime's headers would otherwise export.
function(kiv_add_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "SOURCES")
  add_library(${name} SHARED ${arg_SOURCES})
  add_library(kiv::${name} ALIAS ${name})
  set_property(GLOBAL APPEND PROPERTY KIV_LIBRARIES ${name})
  string(TOUPPER "${name}" upper)
  target_compile_definitions(${name} PRIVATE ${upper}_BUILDING)
  target_compile_features(${name} PUBLIC cxx_std_17)
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER "${CMAKE_CURRENT_SOURCE_DIR}/include/${name}.h"
    EXPORT_NAME ${name})
  if(NOT WIN32 AND NOT APPLE)
    set(script "${CMAKE_CURRENT_SOURCE_DIR}/${name}.map")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${script}" "LINKER:--no-undefined")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${script}")
    # Large-file interfaces on 32-bit hosts too: sizes and offsets are 64-bit.
    target_compile_definitions(${name} PRIVATE _FILE_OFFSET_BITS=64)
  endif()
  kiv_target_warnings(${name})

  # The .pc file finds the prefix from its own place, so that it stays true
  # wherever `cmake --install --prefix` puts the files.
  set(description "${arg_DESCRIPTION}")
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

# kiv_add_tool(<name> SOURCES <files>... LIBRARY <library>)
#
# Builds a command-line front end that uses only its library's public header.
function(kiv_add_tool name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LIBRARY" "SOURCES")
  add_executable(${name}-cli ${arg_SOURCES})
  set_target_properties(${name}-cli PROPERTIES OUTPUT_NAME ${name})
  target_link_libraries(${name}-cli PRIVATE ${arg_LIBRARY})
  target_compile_definitions(${name}-cli PRIVATE KIV_VERSION="${PROJECT_VERSION}")
  kiv_target_warnings(${name}-cli)
  install(TARGETS ${name}-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# kiv_add_test(<name> SOURCES <files>... LIBRARIES <libs>...)
#
# A GoogleTest program whose tests CTest discovers one by one.
function(kiv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kiv_testsupport ${arg_LIBRARIES} GTest::gtest_main)
  kiv_target_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
endfunction()

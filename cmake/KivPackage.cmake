# SPDX-License-Identifier: Zlib
# The CMake package: find_package(kiv) or find_package(kivcopy) /
# find_package(kivsubst) give the imported targets kiv::kivcopy and
# kiv::kivsubst.
include(CMakePackageConfigHelpers)

set(kiv_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/kiv")
install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION "${kiv_cmake_dir}")

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/kivConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/kivConfig.cmake" INSTALL_DESTINATION "${kiv_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/kivConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/kivConfig.cmake" "${PROJECT_BINARY_DIR}/kivConfigVersion.cmake"
  DESTINATION "${kiv_cmake_dir}")

# One small package per library, so that find_package(kivcopy) works too.
get_property(kiv_libraries GLOBAL PROPERTY KIV_LIBRARIES)
foreach(library IN LISTS kiv_libraries)
  set(library_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/${library}")
  file(WRITE "${PROJECT_BINARY_DIR}/${library}Config.cmake"
    "include(CMakeFindDependencyMacro)\n"
    "find_dependency(kiv ${PROJECT_VERSION} CONFIG PATHS \"\${CMAKE_CURRENT_LIST_DIR}/../kiv\" NO_DEFAULT_PATH)\n")
  write_basic_package_version_file("${PROJECT_BINARY_DIR}/${library}ConfigVersion.cmake"
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES "${PROJECT_BINARY_DIR}/${library}Config.cmake"
    "${PROJECT_BINARY_DIR}/${library}ConfigVersion.cmake"
    DESTINATION "${library_cmake_dir}")
endforeach()

# Manual pages: the functions (3) and, where they are built, the front ends (1).
install(FILES "${PROJECT_SOURCE_DIR}/man/KivCopyFile.3" "${PROJECT_SOURCE_DIR}/man/KivInstallFile.3"
  "${PROJECT_SOURCE_DIR}/man/KivFileVersion.3" "${PROJECT_SOURCE_DIR}/man/KivInstallFileEx.3"
  "${PROJECT_SOURCE_DIR}/man/replaceString.3" "${PROJECT_SOURCE_DIR}/man/replaceText.3"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man3")
if(TARGET kivtransaction)
  install(FILES "${PROJECT_SOURCE_DIR}/man/KivTransactionBegin.3"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man3")
endif()
if(KIV_BUILD_TOOLS)
  file(GLOB kiv_tool_pages "${PROJECT_SOURCE_DIR}/man/*.1")
  install(FILES ${kiv_tool_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endif()

install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/README.md"
  "${PROJECT_SOURCE_DIR}/CHANGELOG.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

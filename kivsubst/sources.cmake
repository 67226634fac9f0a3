# SPDX-License-Identifier: Zlib
# kivsubst's source files, each named once, for this library's build and for
# the fuzzing project, which compiles them with its own compiler and flags.
#   kivsubst_core_sources       everything but the export, with the platform
#                               layer of the system being built for
#   kivsubst_export_source      the one exported function
#   kivsubst_argument_sources   the front end's decoder of byte-string arguments
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/KivPlatform.cmake")
set(kivsubst_dir "${CMAKE_CURRENT_LIST_DIR}")
set(kivsubst_core_sources
  "${kivsubst_dir}/src/substitute.cpp"
  "${kivsubst_dir}/src/tempname.cpp"
  "${kivsubst_dir}/src/paths.cpp"
  "${kivsubst_dir}/src/scan.cpp"
  "${kivsubst_dir}/src/scan_matching.cpp"
  "${kivsubst_dir}/src/text.cpp"
  "${kivsubst_dir}/src/text_scan.cpp"
  "${kivsubst_dir}/src/scanners.cpp"
  "${kivsubst_dir}/src/search.cpp"
  "${kivsubst_dir}/src/writeback.cpp"
  "${kivsubst_dir}/src/batch.cpp"
  "${kivsubst_dir}/src/temporary_store.cpp"
  "${kivsubst_dir}/src/durability.cpp"
  "${kivsubst_dir}/src/report.cpp")
# The platform layer: files, a pair of NAME_posix.cpp and NAME_win32.cpp of
# which the build takes one (directories are the file-system layer's).
kiv_platform_sources(kivsubst_core_sources "${kivsubst_dir}/src/platform")
set(kivsubst_export_source "${kivsubst_dir}/src/kivsubst.cpp")
set(kivsubst_argument_sources "${kivsubst_dir}/cli/bytes_argument.cpp")

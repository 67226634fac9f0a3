# SPDX-License-Identifier: Zlib
# kivtransaction's source files, each named once, for this library's build
# and for the fuzzing project, which compiles the journal's reader with its
# own compiler and flags.
#   kivtransaction_journal_sources   the journal's records, written and read
#                                    (no file access: bytes in, bytes out)
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/KivPlatform.cmake")
set(kivtransaction_dir "${CMAKE_CURRENT_LIST_DIR}")
set(kivtransaction_journal_sources
  "${kivtransaction_dir}/src/journal.cpp")

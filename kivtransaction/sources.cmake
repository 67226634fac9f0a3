# SPDX-License-Identifier: Zlib
# kivtransaction's source files, each named once, for this library's build
# and for the fuzzing project, which compiles the journal's reader with its
# own compiler and flags.
#   kivtransaction_journal_sources   the journal's records, written and read
#                                    (no file access: bytes in, bytes out)
#   kivtransaction_core_sources      the transactions and their recovery, with
#                                    the platform layer of the system built for
#   kivtransaction_export_source     the exports
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/KivPlatform.cmake")
set(kivtransaction_dir "${CMAKE_CURRENT_LIST_DIR}")
set(kivtransaction_journal_sources
  "${kivtransaction_dir}/src/journal.cpp")
set(kivtransaction_core_sources
  ${kivtransaction_journal_sources}
  "${kivtransaction_dir}/src/journal_name.cpp"
  "${kivtransaction_dir}/src/transaction.cpp"
  "${kivtransaction_dir}/src/recovery.cpp")
kiv_platform_sources(kivtransaction_core_sources
  "${kivtransaction_dir}/src/journal_folder" "${kivtransaction_dir}/src/member_folder")
set(kivtransaction_export_source "${kivtransaction_dir}/src/kivtransaction.cpp")

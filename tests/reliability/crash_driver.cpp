// SPDX-License-Identifier: Zlib
// Makes one library call in a process of its own, so that the crash harness
// can kill it part-way through under the killpoint library.
//
//   crash_driver subst FILE PATTERN REPLACEMENT   replaceString once
//   crash_driver copy SOURCE TARGET               KivCopyFile, replacing the target
//   crash_driver install SOURCE TARGET            KivInstallFile, replacing the target
//   crash_driver txn JOURNAL_FOLDER SOURCE TARGET [SOURCE TARGET...]
//                                                 one transaction: begun in the folder,
//                                                 an install of each pair (replacing the
//                                                 target), or where SOURCE is "=OLD=NEW"
//                                                 a patch of TARGET, or where it is "+"
//                                                 the folder TARGET made, committed
//   crash_driver recover JOURNAL_FOLDER           KivRecover
//
// The exit status is 0 when the call succeeded (a transaction: its commit
// returned 0; a recovery: it found nothing, finished or undid), else 1
// with the library's result on standard error. The driver makes no other
// call that the killpoint library counts, so every kill point lies inside
// the library. On Windows the driver arms its own kill points
// (killpoint_win32.h).
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kivcopy.h"
#include "kivsubst.h"
#include "kivtransaction.h"
#if defined(_WIN32)
#include "killpoint_win32.h"
#endif

namespace {

// Begins a transaction in `journal_folder`, stages an install of each
// source onto its target and commits; 0 when the commit returned 0. A
// failed step aborts the transaction, as an installer would.
int run_transaction(const char* journal_folder, int pairs, char** names) {
    std::int32_t transaction = 0;
    std::int32_t result = KivTransactionBegin(journal_folder, &transaction);
    if (result != KIVTRANSACTION_OK) {
        std::fprintf(stderr, "KivTransactionBegin: %d\n", static_cast<int>(result));
        return 1;
    }
    for (int pair = 0; pair < pairs; ++pair) {
        const char* source = names[2 * pair];
        const char* target = names[2 * pair + 1];
        const char* second = source[0] == '=' ? std::strchr(source + 1, '=') : nullptr;
        if (std::strcmp(source, "+") == 0) {
            result = KivTransactionMakeFolder(transaction, target);
        } else if (second != nullptr) {
            const auto old_length = static_cast<std::int32_t>(second - (source + 1));
            const auto new_length = static_cast<std::int32_t>(std::strlen(second + 1));
            result = KivTransactionReplace(transaction, target, source + 1, old_length, second + 1,
                                           new_length);
        } else {
            result = KivTransactionInstall(transaction, source, target, KIVINSTALL_REPLACE);
        }
        if (result != 0) {
            std::fprintf(stderr, "member '%s': %d\n", target, static_cast<int>(result));
            KivTransactionAbort(transaction);
            return 1;
        }
    }
    result = KivTransactionCommit(transaction);
    if (result != KIVTRANSACTION_OK) {
        std::fprintf(stderr, "KivTransactionCommit: %d\n", static_cast<int>(result));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    kivtest::arm_kill_points();
#endif
    if (argc == 5 && std::strcmp(argv[1], "subst") == 0) {
        const std::size_t pattern_length = std::strlen(argv[3]);
        const std::size_t replacement_length = std::strlen(argv[4]);
        const std::int32_t result =
            replaceString(argv[2], argv[3], static_cast<std::int32_t>(pattern_length), argv[4],
                          static_cast<std::int32_t>(replacement_length));
        if (result != KIVSUBST_REPLACED) {
            std::fprintf(stderr, "replaceString: %d\n", static_cast<int>(result));
            return 1;
        }
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "install") == 0) {
        const std::int32_t result = KivInstallFile(argv[2], argv[3], KIVINSTALL_REPLACE);
        if (result != 0) {
            std::fprintf(stderr, "KivInstallFile: %d\n", static_cast<int>(result));
        }
        return result == 0 ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "copy") == 0) {
        const std::int32_t result = KivCopyFile(argv[2], argv[3], 1);
        if (result != KIVCOPY_OK) {
            std::fprintf(stderr, "KivCopyFile: %d\n", static_cast<int>(result));
            return 1;
        }
        return 0;
    }
    if (argc >= 5 && argc % 2 == 1 && std::strcmp(argv[1], "txn") == 0) {
        return run_transaction(argv[2], (argc - 3) / 2, argv + 3);
    }
    if (argc == 3 && std::strcmp(argv[1], "recover") == 0) {
        const std::int32_t result = KivRecover(argv[2]);
        if (result < 0) {
            std::fprintf(stderr, "KivRecover: %d\n", static_cast<int>(result));
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: crash_driver subst FILE PATTERN REPLACEMENT\n"
                         "       crash_driver copy SOURCE TARGET\n"
                         "       crash_driver install SOURCE TARGET\n"
                         "       crash_driver txn JOURNAL_FOLDER SOURCE TARGET [SOURCE TARGET...]\n"
                         "       crash_driver recover JOURNAL_FOLDER\n");
    return 64;
}

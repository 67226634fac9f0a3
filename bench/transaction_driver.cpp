// SPDX-License-Identifier: Zlib
// transaction_driver: the helper program of the transaction benchmark
// (bench/run, section "transaction").
//
//   transaction_driver separate JOURNAL_FOLDER MEDIA APP COUNT
//   transaction_driver transaction JOURNAL_FOLDER MEDIA APP COUNT
//
// Member i (0 to COUNT-1) is an install of MEDIA/file<i> onto APP/file<i>
// (replacing it) when i is even, and a patch of APP/file<i> (every "@old@"
// becomes "@new@") when i is odd. "separate" makes each one its own call
// (KivInstallFile, replaceString), as an installer without transactions
// does; "transaction" makes them the members of one transaction in
// JOURNAL_FOLDER, committed at the end. Exit status 0 when every call
// succeeded, else 1 with the failing call's result on standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivcopy.h"
#include "kivsubst.h"
#include "kivtransaction.h"

namespace {

constexpr char old_text[] = "@old@";
constexpr char new_text[] = "@new@";

bool failed(const char* call, std::int32_t result, std::int32_t expected) {
    if (result == expected) {
        return false;
    }
    std::fprintf(stderr, "%s: %d\n", call, static_cast<int>(result));
    return true;
}

int separate(const std::string& media, const std::string& app, int count) {
    for (int member = 0; member < count; ++member) {
        const std::string name = "/file" + std::to_string(member);
        if (member % 2 == 0) {
            if (failed("KivInstallFile",
                       KivInstallFile((media + name).c_str(), (app + name).c_str(),
                                      KIVINSTALL_REPLACE),
                       KIVCOPY_OK)) {
                return 1;
            }
        } else if (failed("replaceString",
                          replaceString((app + name).c_str(), old_text, 5, new_text, 5),
                          KIVSUBST_REPLACED)) {
            return 1;
        }
    }
    return 0;
}

int transaction(const std::string& journal, const std::string& media, const std::string& app,
                int count) {
    int32_t number = 0;
    if (failed("KivTransactionBegin", KivTransactionBegin(journal.c_str(), &number),
               KIVTRANSACTION_OK)) {
        return 1;
    }
    for (int member = 0; member < count; ++member) {
        const std::string name = "/file" + std::to_string(member);
        const std::int32_t result =
            member % 2 == 0
                ? KivTransactionInstall(number, (media + name).c_str(), (app + name).c_str(),
                                        KIVINSTALL_REPLACE)
                : KivTransactionReplace(number, (app + name).c_str(), old_text, 5, new_text, 5);
        if (failed(member % 2 == 0 ? "KivTransactionInstall" : "KivTransactionReplace", result,
                   0)) {
            KivTransactionAbort(number);
            return 1;
        }
    }
    return failed("KivTransactionCommit", KivTransactionCommit(number), KIVTRANSACTION_OK) ? 1
                                                                                          : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fputs("usage: transaction_driver separate|transaction JOURNAL_FOLDER MEDIA APP COUNT\n",
                   stderr);
        return 64;
    }
    const int count = std::atoi(argv[5]);
    if (std::strcmp(argv[1], "separate") == 0) {
        return separate(argv[3], argv[4], count);
    }
    if (std::strcmp(argv[1], "transaction") == 0) {
        return transaction(argv[2], argv[3], argv[4], count);
    }
    std::fputs("transaction_driver: the mode is separate or transaction\n", stderr);
    return 64;
}

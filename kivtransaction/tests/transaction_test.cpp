// SPDX-License-Identifier: Zlib
// Transactions through the exports: every target new after a commit that
// returns 0, every target old after an abort or a failed commit, and
// nothing of the transaction left beside the targets or in the journal
// folder after either. Recovery of journals that a killed transaction
// left, built here record by record as the transaction writes them, and
// the journals that recovery refuses to trust. On Windows also the wide
// twins, and a target held by another program.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "decision_cases.h"
#include "kivcopy.h"
#include "kivfs/hidden_names.h"
#include "kivtest/files.h"
#include "kivtransaction.h"
#include "member_folder.h"

#if defined(_WIN32)
#include "kivtest/holder.h"
#include "kivtest/wide.h"
#endif

namespace {

using kivtest::read_file;
using kivtest::write_file;
namespace journal = kivtransaction::journal;

// The identity of what is at `path` as a journal records it, not following
// a link there: its file system's ID and its inode number, or the volume
// serial and file index on Windows.
journal::FileId file_id(const std::string& path) {
#if defined(_WIN32)
    HANDLE handle = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(::GetFileInformationByHandle(handle, &information)) << path;
    ::CloseHandle(handle);
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
#else
    struct stat status{};
    struct statfs file_system{};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    EXPECT_EQ(::statfs(path.c_str(), &file_system), 0) << path;
    std::uint64_t volume = 0;
    std::memcpy(&volume, &file_system.f_fsid, sizeof file_system.f_fsid);
    return {volume, static_cast<std::uint64_t>(status.st_ino)};
#endif
}

// Gives a file the mode a transaction gives its own (Windows keeps none).
void set_mode(const std::string& path, unsigned mode) {
#if defined(_WIN32)
    static_cast<void>(path);
    static_cast<void>(mode);
#else
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;
#endif
}

class Transaction : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        for (const char* folder : {"media", "app", "app/etc", "journal"}) {
            std::filesystem::create_directory(path(folder));
        }
        write_file(path("media/tool"), "new tool");
        write_file(path("media/lib"), "new lib");
        write_file(path("media/ini"), "new ini");
        write_file(path("app/tool"), "old tool");
        write_file(path("app/etc/ini"), "old ini");
    }

    // The names in a folder of the work directory, sorted.
    std::vector<std::string> names_in(const std::string& folder) const {
        return kivtest::sorted_names(path(folder));
    }

    // Begins a transaction and stages the three installs: a replacement, a
    // new file, and a replacement in another folder.
    int begin_three() {
        int transaction = 0;
        EXPECT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
        EXPECT_EQ(install(transaction, "media/tool", "app/tool"), KIVCOPY_OK);
        EXPECT_EQ(install(transaction, "media/lib", "app/lib"), KIVCOPY_OK);
        EXPECT_EQ(install(transaction, "media/ini", "app/etc/ini"), KIVCOPY_OK);
        return transaction;
    }

    int install(int transaction, const std::string& source, const std::string& target,
                int flags = KIVINSTALL_REPLACE) {
        return KivTransactionInstall(transaction, path(source).c_str(), path(target).c_str(),
                                     flags);
    }

    void expect_all_old() {
        EXPECT_EQ(read_file(path("app/tool")), "old tool");
        EXPECT_EQ(read_file(path("app/etc/ini")), "old ini");
        EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "tool"}));
        EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini"}));
        EXPECT_TRUE(names_in("journal").empty());
    }

    void expect_all_new() {
        EXPECT_EQ(read_file(path("app/tool")), "new tool");
        EXPECT_EQ(read_file(path("app/lib")), "new lib");
        EXPECT_EQ(read_file(path("app/etc/ini")), "new ini");
        EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "lib", "tool"}));
        EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini"}));
        EXPECT_TRUE(names_in("journal").empty());
    }
};

TEST_F(Transaction, CommitPutsEveryMemberInPlaceAndLeavesNothing) {
    const int transaction = begin_three();
    EXPECT_EQ(read_file(path("app/tool")), "old tool") << "a member changed its target before the commit";
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
    expect_all_new();
    EXPECT_EQ(KivTransactionFailedMember(transaction), -1);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_UNKNOWN);
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
}

TEST_F(Transaction, AbortLeavesEveryTargetOldAndNothingElse) {
    const int transaction = begin_three();
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
    expect_all_old();
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_UNKNOWN);
}

// Members that decide by version keep their manifest in the journal
// folder: a target kept (here the same bytes, then a settings file the user
// edited after the first transaction) is no member, and the rest commit.
TEST_F(Transaction, MembersThatDecideByVersionKeepTheirManifestInTheJournalFolder) {
    const int by_version = KIVINSTALL_BY_VERSION;
    int first = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &first), KIVTRANSACTION_OK);
    EXPECT_EQ(install(first, "media/ini", "app/etc/settings", by_version), KIVCOPY_OK);
    EXPECT_EQ(install(first, "media/lib", "app/lib", by_version), KIVCOPY_OK);
    ASSERT_EQ(KivTransactionCommit(first), KIVTRANSACTION_OK);
    EXPECT_EQ(names_in("journal").size(), 2u) << "one record for each target";

    write_file(path("app/etc/settings"), "new ini, edited");
    write_file(path("media/lib"), "newer lib");
    int second = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &second), KIVTRANSACTION_OK);
    EXPECT_EQ(install(second, "media/tool", "app/tool", by_version), KIVINSTALL_KEPT_CHANGED)
        << "app/tool is no file of ours";
    EXPECT_EQ(install(second, "media/ini", "app/etc/settings", by_version), KIVINSTALL_KEPT_CHANGED);
    EXPECT_EQ(install(second, "media/lib", "app/lib", by_version), KIVCOPY_OK);
    EXPECT_EQ(KivTransactionCommit(second), KIVTRANSACTION_OK);
    EXPECT_EQ(read_file(path("app/tool")), "old tool");
    EXPECT_EQ(read_file(path("app/etc/settings")), "new ini, edited");
    EXPECT_EQ(read_file(path("app/lib")), "newer lib");
    EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini", "settings"}));

    int third = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &third), KIVTRANSACTION_OK);
    EXPECT_EQ(install(third, "media/lib", "app/lib", by_version), KIVINSTALL_ALREADY_CURRENT);
    EXPECT_EQ(KivTransactionAbort(third), KIVTRANSACTION_OK);
    EXPECT_EQ(read_file(path("app/lib")), "newer lib");
}

// Every row of the decision table through a transaction's member, whose
// manifest is the journal folder: a target that an earlier transaction
// installed is ours. A kept target is no member, and the commit leaves it
// as it was; a replaced one is new after the commit.
class TransactionDecisionRows : public Transaction,
                                public ::testing::WithParamInterface<kivcopy_test::Case> {};

TEST_P(TransactionDecisionRows, KeepOrReplaceTheTargetAsTheTableSays) {
    const kivcopy_test::Case& c = GetParam();
    const auto install_in_one = [&](const std::string& bytes, int flags) {
        write_file(path("media/file"), bytes);
        int transaction = 0;
        EXPECT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
        const int result = install(transaction, "media/file", "app/file", flags);
        EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
        return result;
    };
    if (c.before == kivcopy_test::Before::ours) {
        ASSERT_EQ(install_in_one(c.installed, KIVINSTALL_BY_VERSION), KIVCOPY_OK);
    } else {
        write_file(path("app/file"), c.installed);
    }
    EXPECT_EQ(install_in_one(c.incoming, c.flags), c.result);
    EXPECT_EQ(read_file(path("app/file")), c.replaced ? c.incoming : c.installed);
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "file", "tool"}));
}

// A transaction always has its manifest: the cases without one are the
// export's alone.
std::vector<kivcopy_test::Case> cases_with_a_manifest() {
    std::vector<kivcopy_test::Case> cases = kivcopy_test::decision_cases();
    cases.erase(std::remove_if(cases.begin(), cases.end(),
                               [](const kivcopy_test::Case& c) {
                                   return c.before == kivcopy_test::Before::no_manifest;
                               }),
                cases.end());
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rows, TransactionDecisionRows, ::testing::ValuesIn(cases_with_a_manifest()),
                         [](const ::testing::TestParamInfo<kivcopy_test::Case>& row) {
                             return std::string(row.param.name);
                         });

// A live transaction's journal is locked: a recovery in the same folder,
// on its own or at another transaction's begin, passes over it and leaves
// its staged members alone, and the transaction still commits whole.
TEST_F(Transaction, RecoveryPassesOverALiveTransaction) {
    const int live = begin_three();
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
    int other = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &other), KIVTRANSACTION_OK);
    EXPECT_EQ(names_in("journal").size(), 2U);
    EXPECT_EQ(KivTransactionAbort(other), KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionCommit(live), KIVTRANSACTION_OK);
    expect_all_new();
}

// A member that fails while staging gives its own code, and leaves the
// transaction only an abort; a guard that a target appearing after its
// member was staged breaks fails the commit with every target old.
TEST_F(Transaction, AFailedMemberLeavesEveryTargetOld) {
    int transaction = begin_three();
    EXPECT_EQ(install(transaction, "media/missing", "app/other"), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(install(transaction, "media/lib", "app/etc/lib"), KIVCOPY_OK)
        << "a source that cannot be opened fails before anything is recorded";
    EXPECT_EQ(install(transaction, "media/lib", "app/tool", 0), KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(install(transaction, "media/lib", "app/lib"), KIVCOPY_OK)
        << "a guard that refuses fails before anything is recorded";
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
    expect_all_old();

    transaction = begin_three();
    EXPECT_EQ(install(transaction, "media/lib", "app/new", 0), KIVCOPY_OK);
    write_file(path("app/new"), "someone else's");
    EXPECT_EQ(KivTransactionCommit(transaction), KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(KivTransactionFailedMember(transaction), 3) << "the fourth member broke its guard";
    EXPECT_EQ(read_file(path("app/new")), "someone else's");
    std::filesystem::remove(path("app/new"));
    expect_all_old();
}

// A folder member is made under a hidden name, so that nothing new shows
// before the commit; members go into it through paths that name it,
// spelled alike or not, a patch of a file installed there too. It takes
// its name at the commit, after them, and goes with an abort. A folder
// already there is used as it is; a file at the name refuses the member.
TEST_F(Transaction, FoldersItMakesAppearAtTheCommitAndGoWithAnAbort) {
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "aborted");
        int transaction = 0;
        ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
        EXPECT_EQ(KivTransactionMakeFolder(transaction, path("app/plugins").c_str()),
                  KIVTRANSACTION_OK);
        EXPECT_EQ(KivTransactionMakeFolder(transaction, (path("app") + "//plugins/deep/").c_str()),
                  KIVTRANSACTION_OK);
        EXPECT_EQ(install(transaction, "media/lib", "app/plugins//deep/p.dll"), KIVCOPY_OK);
        EXPECT_EQ(install(transaction, "media/tool", "app/plugins/a.dll"), KIVCOPY_OK);
        EXPECT_EQ(KivTransactionReplace(transaction, path("app/plugins/a.dll").c_str(), "tool", 4,
                                        "TOOL", 4),
                  0);
        EXPECT_EQ(KivTransactionMakeFolder(transaction, path("app/etc").c_str()),
                  KIVTRANSACTION_FOLDER_EXISTS);
        EXPECT_EQ(KivTransactionMakeFolder(transaction, path("app/plugins/deep").c_str()),
                  KIVTRANSACTION_FOLDER_EXISTS)
            << "a folder the transaction makes already";
        EXPECT_EQ(install(transaction, "media/ini", "app/etc/ini"), KIVCOPY_OK);
        EXPECT_EQ(KivTransactionMakeFolder(transaction, path("app/tool").c_str()),
                  KIVCOPY_TARGET_EXISTS);
        const std::vector<std::string> before = names_in("app");
        ASSERT_EQ(before.size(), 3U);
        EXPECT_EQ(before[0].rfind(".plugins.kiv-txn-", 0), 0U) << before[0];
        EXPECT_EQ(KivTransactionMakeFolder(transaction, nullptr), KIVTRANSACTION_INVALID_ARGUMENT);
        if (commit) {
            EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
            EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "plugins", "tool"}));
            EXPECT_EQ(names_in("app/plugins"), (std::vector<std::string>{"a.dll", "deep"}));
            EXPECT_EQ(read_file(path("app/plugins/deep/p.dll")), "new lib");
            EXPECT_EQ(read_file(path("app/plugins/a.dll")), "new TOOL");
            EXPECT_EQ(read_file(path("app/etc/ini")), "new ini");
        } else {
            EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
            expect_all_old();
        }
        EXPECT_TRUE(names_in("journal").empty());
    }
}

// What appeared at a made folder's name since it was made fails the
// commit, every target old and what appeared kept; a made folder that
// someone swapped for another under its hidden name takes no members.
TEST_F(Transaction, AFolderThatAppearedAtAMadeFoldersNameFailsTheCommit) {
    int transaction = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(install(transaction, "media/tool", "app/tool"), KIVCOPY_OK);
    ASSERT_EQ(KivTransactionMakeFolder(transaction, path("app/plugins").c_str()),
              KIVTRANSACTION_OK);
    EXPECT_EQ(install(transaction, "media/lib", "app/plugins/p.dll"), KIVCOPY_OK);
    std::filesystem::create_directory(path("app/plugins"));
    write_file(path("app/plugins/theirs"), "someone else's");
    EXPECT_EQ(KivTransactionCommit(transaction), KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(KivTransactionFailedMember(transaction), 1);
    EXPECT_EQ(names_in("app/plugins"), (std::vector<std::string>{"theirs"}));
    std::filesystem::remove_all(path("app/plugins"));
    expect_all_old();

    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    ASSERT_EQ(KivTransactionMakeFolder(transaction, path("app/plugins").c_str()),
              KIVTRANSACTION_OK);
    const std::string hidden = names_in("app").at(0);
    std::filesystem::rename(path("app/" + hidden), path("app/swapped"));
    std::filesystem::create_directory(path("app/" + hidden));
    EXPECT_NE(install(transaction, "media/lib", "app/plugins/p.dll"), KIVCOPY_OK);
    EXPECT_TRUE(kivtest::sorted_names(path("app/" + hidden)).empty());
    EXPECT_TRUE(names_in("app/swapped").empty());
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
    std::filesystem::remove(path("app/swapped"));
    expect_all_old();
}

// Patches join installs in one transaction: written back into the very
// file that was read (its inode and times kept) at the commit, untouched
// before it and after an abort; a second patch of a file, or a patch of a
// file that the transaction installs, patches what the earlier member
// leaves; a file without an occurrence stays out.
TEST_F(Transaction, PatchesKeepTheFileItselfAndCommitWithTheInstalls) {
    write_file(path("app/etc/settings"), "port=80 host=old");
    const kivtest::Time modified{1000000000, 123456700};
    kivtest::set_times(path("app/etc/settings"), kivtest::Time{1100000000, 0}, modified);
    const journal::FileId identity = file_id(path("app/etc/settings"));
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "aborted");
        const int transaction = begin_three();
        EXPECT_EQ(KivTransactionReplace(transaction, path("app/etc/settings").c_str(), "old", 3,
                                        "new", 3),
                  0);
        EXPECT_EQ(KivTransactionReplaceText(transaction, path("app/etc/settings").c_str(),
                                            "port=80", "port=8080", 0),
                  0);
        EXPECT_EQ(KivTransactionReplace(transaction, path("app/tool").c_str(), "absent", 6, "x", 1),
                  1);
        EXPECT_EQ(KivTransactionReplace(transaction, path("app/etc/ini").c_str(), "new", 3,
                                        "newer", 5),
                  0)
            << "a patch of a file that the transaction installs patches the new file";
        EXPECT_EQ(read_file(path("app/etc/settings")), "port=80 host=old");
        if (!commit) {
            EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
            EXPECT_EQ(read_file(path("app/etc/settings")), "port=80 host=old");
            EXPECT_EQ(read_file(path("app/etc/ini")), "old ini");
            EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini", "settings"}));
            continue;
        }
        EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
        EXPECT_EQ(read_file(path("app/etc/settings")), "port=8080 host=new")
            << "a second patch of one file patches what the first leaves";
        EXPECT_EQ(file_id(path("app/etc/settings")), identity);
        EXPECT_EQ(kivtest::modification_time(path("app/etc/settings")), modified);
        EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini", "settings"}));
        EXPECT_EQ(read_file(path("app/tool")), "new tool");
        EXPECT_EQ(read_file(path("app/etc/ini")), "newer ini");
        EXPECT_TRUE(names_in("journal").empty());
    }
}

// Transactions on several threads at once, in one journal folder: each
// begin recovers the folder while the others' journals are live, and must
// pass over them; every transaction commits its own members alone.
TEST_F(Transaction, RunsBesideOthersInOneJournalFolder) {
    constexpr int threads = 8;
    for (int number = 0; number < threads; ++number) {
        write_file(path("media/t" + std::to_string(number)), "new " + std::to_string(number));
        write_file(path("app/t" + std::to_string(number)), "old " + std::to_string(number));
    }
    std::vector<int> results(threads, -1);
    std::atomic<int> staged{0};
    std::vector<std::thread> running;
    for (int number = 0; number < threads; ++number) {
        running.emplace_back([&, number] {
            const std::string name = "t" + std::to_string(number);
            int transaction = 0;
            int result = KivTransactionBegin(path("journal").c_str(), &transaction);
            if (result == KIVTRANSACTION_OK) {
                result = install(transaction, "media/" + name, "app/" + name);
            }
            if (result == KIVCOPY_OK) {
                result = KivTransactionReplace(transaction, path("app/" + name).c_str(), "new",
                                               3, "newer", 5);
            }
            // Every transaction staged: another begin recovers the folder
            // now, beside them all.
            ++staged;
            while (staged.load() < threads) {
                std::this_thread::yield();
            }
            int another = 0;
            if (result == 0 && KivTransactionBegin(path("journal").c_str(), &another) == 0) {
                KivTransactionAbort(another);
            }
            results[static_cast<std::size_t>(number)] =
                result == 0 ? KivTransactionCommit(transaction) : result;
        });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    for (int number = 0; number < threads; ++number) {
        EXPECT_EQ(results[static_cast<std::size_t>(number)], KIVTRANSACTION_OK) << number;
        EXPECT_EQ(read_file(path("app/t" + std::to_string(number))),
                  "newer " + std::to_string(number));
    }
    EXPECT_TRUE(names_in("journal").empty());
}

// What a transaction killed at each of its stages leaves, written as it
// writes it: staged files beside their targets, and the journal's
// records up to the kill.
class KilledTransaction : public Transaction {
protected:
    struct Member {
        std::string folder, target, staged, content;
        journal::MemberKind kind = journal::MemberKind::install;
    };

    void SetUp() override {
        Transaction::SetUp();
        members_ = {{"app", "tool", "", "new tool"},
                    {"app", "lib", "", "new lib"},
                    {"app/etc", "ini", "", "new ini", journal::MemberKind::patch}};
        for (Member& member : members_) {
            member.staged = kivtransaction::journal_form(kivfs::hidden_name_for(
                kivtransaction::system_form(member.target), kivfs::transaction_kind));
        }
    }

    journal::FileId id_of(const std::string& name) const { return file_id(path(name)); }

    // The journal of a transaction killed after `staged` members were
    // staged, with the ready records and the commit record where asked.
    void leave(std::size_t staged, bool ready, bool committed) {
        std::string bytes = journal::header_record({0x0123456789abcdefULL});
        for (std::size_t index = 0; index < members_.size() && index < staged + 1; ++index) {
            const Member& member = members_[index];
            journal::Intent intent;
            intent.kind = member.kind;
            intent.folder = std::filesystem::canonical(path(member.folder)).string();
            intent.folder_id = id_of(member.folder);
            intent.target = member.target;
            intent.staged = member.staged;
            intent.flags = KIVINSTALL_REPLACE;
            bytes += journal::intent_record(intent);
            if (index < staged) {
                write_file(path(member.folder + "/" + member.staged), member.content);
                set_mode(path(member.folder + "/" + member.staged), 0644);
            }
        }
        if (ready) {
            for (std::size_t index = 0; index < members_.size(); ++index) {
                journal::Ready record;
                record.member = static_cast<std::uint32_t>(index);
                const Member& member = members_[index];
                record.staged_id = id_of(member.folder + "/" + member.staged);
                if (member.kind == journal::MemberKind::patch) {
                    record.target_existed = true;
                    record.target_id = id_of(member.folder + "/" + member.target);
                    record.modified = {1000000000, 5};
                    record.accessed = {1000000000, 5};
                }
                bytes += journal::ready_record(record);
            }
        }
        if (committed) {
            bytes += journal::commit_record(static_cast<std::uint32_t>(members_.size()));
        }
        write_file(path("journal/kivtransaction-0123456789abcdef.journal"), bytes);
        set_mode(path("journal/kivtransaction-0123456789abcdef.journal"), 0600);
    }

    std::vector<Member> members_;
};

TEST_F(KilledTransaction, RecoveryUndoesAnUncommittedOneAndFinishesACommittedOne) {
    for (std::size_t staged = 0; staged <= members_.size(); ++staged) {
        SCOPED_TRACE("killed with " + std::to_string(staged) + " members staged");
        leave(staged, false, false);
        EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_UNDONE);
        expect_all_old();
        EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
    }
    leave(members_.size(), true, false);
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_UNDONE);
    expect_all_old();

    // A begin cut off before its header reached the disk leaves a journal
    // with nothing in it.
    write_file(path("journal/kivtransaction-0123456789abcdef.journal"), "");
    ::chmod(path("journal/kivtransaction-0123456789abcdef.journal").c_str(), 0600);
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_UNDONE);
    expect_all_old();

    // Committed, and cut off after the first member took its place: the
    // next transaction's begin finishes it before it begins, the patch
    // written into the file itself with the times it had.
    const journal::FileId patched = file_id(path("app/etc/ini"));
    leave(members_.size(), true, true);
    std::filesystem::rename(path("app/" + members_[0].staged), path("app/tool"));
    int transaction = 0;
    EXPECT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
    expect_all_new();
    EXPECT_EQ(file_id(path("app/etc/ini")), patched);
    EXPECT_EQ(kivtest::modification_time(path("app/etc/ini")).seconds, 1000000000);
}

// A journal recovery cannot trust is left as it is, and nothing it names
// is touched: another user's, one with a second name, one whose bytes are
// not a journal this system wrote, one whose folder is no longer the one
// recorded; a journal folder reached through a link is refused whole.
TEST_F(KilledTransaction, RecoveryRefusesAJournalItCannotTrust) {
    const std::string journal_path = path("journal/kivtransaction-0123456789abcdef.journal");
    const auto expect_refused = [&](const char* why) {
        SCOPED_TRACE(why);
        EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_JOURNAL_REFUSED);
        int transaction = 0;
        EXPECT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction),
                  KIVTRANSACTION_JOURNAL_REFUSED);
        EXPECT_EQ(read_file(path("app/tool")), "old tool");
        EXPECT_TRUE(std::filesystem::exists(path("app/" + members_[0].staged)));
        EXPECT_TRUE(std::filesystem::exists(journal_path));
    };
    leave(members_.size(), true, true);
#if !defined(_WIN32)
    // Giving a file another owner on Windows takes a privilege that a
    // test cannot count on (Wine keeps none but the user's).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(journal_path.c_str(), 65534, 65534), 0);
        expect_refused("another user's journal");
        ASSERT_EQ(::chown(journal_path.c_str(), 0, 0), 0);
    }
#endif
    ASSERT_TRUE(kivtest::hard_link(journal_path, path("second-name")));
    expect_refused("a journal with a second name");
    std::filesystem::remove(path("second-name"));

    std::string bytes = read_file(journal_path);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
    write_file(journal_path, bytes);
    expect_refused("a journal whose bytes were changed");

    leave(members_.size(), true, true);
    std::filesystem::rename(path("app/etc"), path("app/etc-moved"));
    std::filesystem::create_directory(path("app/etc"));
    expect_refused("a folder that is no longer the one recorded");
    std::filesystem::remove(path("app/etc"));
    std::filesystem::rename(path("app/etc-moved"), path("app/etc"));

    if (kivtest::symbolic_link(path("journal"), path("linked"))) {
        EXPECT_EQ(KivRecover(path("linked").c_str()), KIVTRANSACTION_NO_JOURNAL);
    } else {
        std::printf("journal folder through a symbolic link not tried: this system refused to "
                    "make one\n");
    }
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_FINISHED);
    expect_all_new();
}

#if defined(_WIN32)

// The wide twins do what the narrow functions do, for names that the ANSI
// code page cannot write: the journal folder, the targets and the text.
TEST_F(Transaction, TheWideTwinsTakeNamesThatTheAnsiCodePageCannotWrite) {
    const std::wstring journal_folder = kivtest::wide_path(dir(), "\xce\xb1-journal");
    const std::wstring target = kivtest::wide_path(dir(), "app\\\xce\xb2\xce\xb3.ini");
    const std::wstring source = kivtest::wide_path(dir(), "media/ini");
    kivtest::make_directory(journal_folder);
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "aborted");
        kivtest::write_file(target, "key=\xce\xb4");
        int transaction = 0;
        ASSERT_EQ(KivTransactionBeginW(journal_folder.c_str(), &transaction), KIVTRANSACTION_OK);
        EXPECT_EQ(KivTransactionReplaceTextW(transaction, target.c_str(), L"key=\u03b4",
                                             L"key=\u03b5", 0),
                  0);
        EXPECT_EQ(KivTransactionReplaceW(transaction, target.c_str(), "key", 3, "KEY", 3), 0);
        EXPECT_EQ(KivTransactionInstallW(transaction, source.c_str(),
                                         kivtest::wide_path(dir(), "app\\\xce\xb6").c_str(),
                                         KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(target), "key=\xce\xb4");
        if (commit) {
            EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
            EXPECT_EQ(kivtest::read_file(target), "KEY=\xce\xb5");
            EXPECT_EQ(kivtest::read_file(kivtest::wide_path(dir(), "app\\\xce\xb6")), "new ini");
        } else {
            EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
            EXPECT_EQ(kivtest::read_file(target), "key=\xce\xb4");
            EXPECT_FALSE(kivtest::exists(kivtest::wide_path(dir(), "app\\\xce\xb6")));
        }
        EXPECT_EQ(kivtest::entries(kivtest::wide_path(dir(), "app")).size(), commit ? 4U : 3U)
            << "nothing is left beside the targets";
        EXPECT_TRUE(kivtest::entries(journal_folder).empty());
        EXPECT_EQ(KivRecoverW(journal_folder.c_str()), KIVTRANSACTION_OK);
    }
}

// A folder that the transaction makes is reached by a path that names it
// as the system takes names: with either separator, and in letters of
// either case, those beyond ASCII included (Greek here). A member staged
// through such a path goes into the made folder, and is in it once the
// commit puts the folder in place.
TEST_F(Transaction, AMadeFolderIsReachedInLettersOfEitherCase) {
    const std::wstring folder = kivtest::wide_path(dir(), "app\\\xce\xa0\xce\xbb-plugins");
    const std::wstring other_case = kivtest::wide_path(dir(), "APP/\xcf\x80\xce\x9b-PLUGINS/");
    int transaction = 0;
    ASSERT_EQ(KivTransactionBeginW(kivtest::widen(path("journal")).c_str(), &transaction),
              KIVTRANSACTION_OK);
    ASSERT_EQ(KivTransactionMakeFolderW(transaction, folder.c_str()), KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionInstallW(transaction, kivtest::widen(path("media/lib")).c_str(),
                                     (other_case + L"p.dll").c_str(), KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    EXPECT_EQ(KivTransactionMakeFolderW(transaction, other_case.c_str()),
              KIVTRANSACTION_FOLDER_EXISTS)
        << "the folder made is made once";
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(kivtest::read_file(folder + L"\\p.dll"), "new lib");
    EXPECT_EQ(kivtest::entries(folder).size(), 1U);
    EXPECT_EQ(names_in("app").size(), 3U) << "nothing is left beside the folder";
    EXPECT_TRUE(names_in("journal").empty());
}

// A target that another program holds open without delete sharing cannot
// be renamed onto, nor one held without write sharing written into: the
// commit fails in its guard step, before its record, with every target
// old and nothing of the transaction left, whichever member meets it.
TEST_F(Transaction, ATargetHeldByAnotherProgramFailsTheCommitWithEveryTargetOld) {
    write_file(path("app/etc/settings"), "host=old");
    for (const char* held_target : {"app/etc/ini", "app/etc/settings"}) {
        SCOPED_TRACE(held_target);
        const int transaction = begin_three();
        EXPECT_EQ(KivTransactionReplace(transaction, path("app/etc/settings").c_str(), "old", 3,
                                        "new", 3),
                  0);
        HANDLE held = ::CreateFileW(kivtest::widen(path(held_target)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(KivTransactionCommit(transaction), KIVINSTALL_IN_USE);
        ::CloseHandle(held);
        EXPECT_EQ(read_file(path("app/etc/settings")), "host=old");
        EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini", "settings"}));
        std::filesystem::remove(path("app/etc/settings"));
        expect_all_old();
        write_file(path("app/etc/settings"), "host=old");
        EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
    }
    std::filesystem::remove(path("app/etc/settings"));

    // One target may wait for the restart, another, also in use, may not:
    // the commit fails all the same.
    int transaction = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(install(transaction, "media/tool", "app/tool",
                      KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART),
              KIVCOPY_OK);
    EXPECT_EQ(install(transaction, "media/ini", "app/etc/ini"), KIVCOPY_OK);
    HANDLE held = ::CreateFileW(kivtest::widen(path("app/tool")).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE ini = ::CreateFileW(kivtest::widen(path("app/etc/ini")).c_str(), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVINSTALL_IN_USE);
    EXPECT_EQ(KivTransactionFailedMember(transaction), 1);
    ::CloseHandle(ini);
    ::CloseHandle(held);
    expect_all_old();
}

// Takes the entries of the machine's restart queue whose source lies
// under `folder` out of it, and returns them (source, target) as the
// system wrote them: what a restart would carry out for this test.
std::vector<std::pair<std::wstring, std::wstring>> take_out_of_restart_queue(
    const std::wstring& folder) {
    std::vector<std::pair<std::wstring, std::wstring>> taken;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return taken;
    }
    DWORD type = 0;
    DWORD size = 0;
    const wchar_t* name = L"PendingFileRenameOperations";
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
        ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
        std::vector<std::wstring> strings;
        for (std::size_t at = 0; at < size / sizeof(wchar_t);) {
            strings.emplace_back(value.data() + at);
            at += strings.back().size() + 1;
        }
        std::vector<wchar_t> kept;
        for (std::size_t at = 0; at + 1 < strings.size(); at += 2) {
            if (strings[at].find(folder) != std::wstring::npos) {
                taken.emplace_back(strings[at], strings[at + 1]);
                continue;
            }
            for (const std::wstring* text : {&strings[at], &strings[at + 1]}) {
                kept.insert(kept.end(), text->begin(), text->end());
                kept.push_back(L'\0');
            }
        }
        kept.push_back(L'\0');
        if (kept.size() == 1) {
            ::RegDeleteValueW(key, name);
        } else {
            ::RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                             static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
        }
    }
    ::RegCloseKey(key);
    return taken;
}

// A target held without delete sharing whose install may wait for the
// restart makes the whole transaction wait: nothing changes at the commit
// (1), every member is queued to take its target's place at the restart,
// and recovery leaves the journal as it is until then (4). A restart cut
// off after its first rename leaves the rest to the next recovery, which
// finishes it: all new, the patched file with its old times.
TEST_F(Transaction, ATargetInUseThatMayWaitMakesEveryMemberWaitForTheRestart) {
    write_file(path("app/etc/settings"), "host=old");
    kivtest::set_times(path("app/etc/settings"), {1000000000, 0}, {1000000000, 0});
    int transaction = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(install(transaction, "media/tool", "app/tool",
                      KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART),
              KIVCOPY_OK);
    EXPECT_EQ(install(transaction, "media/lib", "app/lib"), KIVCOPY_OK);
    EXPECT_EQ(install(transaction, "media/ini", "app/etc/ini"), KIVCOPY_OK);
    EXPECT_EQ(KivTransactionReplace(transaction, path("app/etc/settings").c_str(), "old", 3,
                                    "new", 3),
              0);
    HANDLE held = ::CreateFileW(kivtest::widen(path("app/tool")).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_AT_RESTART);
    EXPECT_EQ(read_file(path("app/tool")), "old tool");
    EXPECT_FALSE(std::filesystem::exists(path("app/lib")));
    EXPECT_EQ(read_file(path("app/etc/settings")), "host=old");
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_PENDING);
    EXPECT_EQ(names_in("app").size(), 4u) << "the staged files wait beside their targets";
    EXPECT_EQ(names_in("journal").size(), 1u);
    ::CloseHandle(held);

    const auto queued = take_out_of_restart_queue(kivtest::widen(dir()));
    ASSERT_EQ(queued.size(), 4u) << "one entry a member, in order";
    const auto plain = [](std::wstring name) {
        name.erase(0, name.find(L':') - 1);  // "\\??\\" and the "!" that asks for a replacement
        return name;
    };
    const std::wstring first_target = plain(queued[0].second);
    EXPECT_EQ(first_target.substr(first_target.size() - 9), L"\\app\\tool");
    ASSERT_TRUE(::MoveFileExW(plain(queued[0].first).c_str(), plain(queued[0].second).c_str(),
                              MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_FINISHED);
    EXPECT_EQ(read_file(path("app/tool")), "new tool");
    EXPECT_EQ(read_file(path("app/lib")), "new lib");
    EXPECT_EQ(read_file(path("app/etc/ini")), "new ini");
    EXPECT_EQ(read_file(path("app/etc/settings")), "host=new");
    EXPECT_EQ(kivtest::modification_time(path("app/etc/settings")).seconds, 1000000000);
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "lib", "tool"}));
    EXPECT_EQ(names_in("app/etc"), (std::vector<std::string>{"ini", "settings"}));
    EXPECT_TRUE(names_in("journal").empty());
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
}

// A program that runs from a target can be renamed but not replaced: its
// file is set aside and the new one takes its name in the commit, as
// KivInstallFile does, so that the commit returns 0 with every target new
// while the program goes on running from its old file, which goes at the
// next restart. (The commit used to leave that member to recovery, a mix
// of old and new until the program ended.)
TEST_F(Transaction, ARunningProgramAmongTheTargetsIsReplacedInTheCommit) {
    using kivtest::HeldByAnotherProcess;
    const std::wstring program = kivtest::widen(path("app/prog.exe"));
    ASSERT_TRUE(::CopyFileW(HeldByAnotherProcess::program().c_str(), program.c_str(), TRUE));
    write_file(path("media/prog.exe"), "new program");
    write_file(path("app/held.txt"), "held");
    HeldByAnotherProcess running(HeldByAnotherProcess::Way::open,
                                 kivtest::widen(path("app/held.txt")), program);
    ASSERT_TRUE(running.ok()) << running.error();
    const int transaction = begin_three();
    EXPECT_EQ(install(transaction, "media/prog.exe", "app/prog.exe"), KIVCOPY_OK);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(read_file(path("app/tool")), "new tool");
    EXPECT_EQ(read_file(path("app/lib")), "new lib");
    EXPECT_EQ(read_file(path("app/etc/ini")), "new ini");
    EXPECT_TRUE(read_file(path("app/prog.exe")) == "new program") << "the program is not new";
    EXPECT_TRUE(names_in("journal").empty());
    // The program's old file, under the name that says it is superseded.
    const std::vector<std::string> names = names_in("app");
    ASSERT_EQ(names.size(), 6u);
    EXPECT_EQ(names[0].rfind(".prog.exe.kiv-old-", 0), 0u) << names[0];
}

// A target made read-only after its member was staged without leave to
// replace one (KIVINSTALL_READ_ONLY) fails the commit in its guard step,
// as KivInstallFile refuses such a target: every target old. With that
// leave it is replaced, and the new file keeps the attribute.
TEST_F(Transaction, ATargetMadeReadOnlySinceItsMemberWasStagedFailsTheCommit) {
    int transaction = begin_three();
    ASSERT_TRUE(::SetFileAttributesA(path("app/etc/ini").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(KivTransactionCommit(transaction), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_NE(::GetFileAttributesA(path("app/etc/ini").c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    ::SetFileAttributesA(path("app/etc/ini").c_str(), FILE_ATTRIBUTE_NORMAL);
    expect_all_old();

    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    ASSERT_TRUE(::SetFileAttributesA(path("app/tool").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(install(transaction, "media/tool", "app/tool",
                      KIVINSTALL_REPLACE | KIVINSTALL_READ_ONLY),
              KIVCOPY_OK);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(read_file(path("app/tool")), "new tool");
    EXPECT_NE(::GetFileAttributesA(path("app/tool").c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    ::SetFileAttributesA(path("app/tool").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "tool"}));
    EXPECT_TRUE(names_in("journal").empty());
}

#endif

}  // namespace

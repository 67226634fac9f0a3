// SPDX-License-Identifier: Zlib
// Transactions through the exports: every target new after a commit that
// returns 0, every target old after an abort or a failed commit, and
// nothing of the transaction left beside the targets or in the journal
// folder after either. Recovery of journals that a killed transaction
// left, built here record by record as the transaction writes them, and
// the journals that recovery refuses to trust.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "kivcopy.h"
#include "kivfs/hidden_names.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtransaction.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;
namespace journal = kivtransaction::journal;

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
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
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

// Patches join installs in one transaction: written back into the very
// file that was read (its inode and times kept) at the commit, untouched
// before it and after an abort; a second patch of a file, or a patch of a
// file that the transaction installs, patches what the earlier member
// leaves; a file without an occurrence stays out.
TEST_F(Transaction, PatchesKeepTheFileItselfAndCommitWithTheInstalls) {
    write_file(path("app/etc/settings"), "port=80 host=old");
    std::filesystem::last_write_time(path("app/etc/settings"),
                                     std::filesystem::file_time_type(std::chrono::hours(1000)));
    const auto inode = kivtest::status_of(path("app/etc/settings")).st_ino;
    const auto modified = std::filesystem::last_write_time(path("app/etc/settings"));
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
        EXPECT_EQ(kivtest::status_of(path("app/etc/settings")).st_ino, inode);
        EXPECT_EQ(std::filesystem::last_write_time(path("app/etc/settings")), modified);
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
            member.staged = kivfs::hidden_name_for(member.target, kivfs::transaction_kind);
        }
    }

    journal::FileId id_of(const std::string& name) const {
        struct stat status{};
        EXPECT_EQ(::lstat(path(name).c_str(), &status), 0) << name;
        return {static_cast<std::uint64_t>(status.st_dev),
                static_cast<std::uint64_t>(status.st_ino)};
    }

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
                ::chmod(path(member.folder + "/" + member.staged).c_str(), 0644);
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
        ::chmod(path("journal/kivtransaction-0123456789abcdef.journal").c_str(), 0600);
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
    const auto patched = kivtest::status_of(path("app/etc/ini")).st_ino;
    leave(members_.size(), true, true);
    std::filesystem::rename(path("app/" + members_[0].staged), path("app/tool"));
    int transaction = 0;
    EXPECT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionAbort(transaction), KIVTRANSACTION_OK);
    expect_all_new();
    EXPECT_EQ(kivtest::status_of(path("app/etc/ini")).st_ino, patched);
    EXPECT_EQ(kivtest::status_of(path("app/etc/ini")).st_mtim.tv_sec, 1000000000);
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
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(journal_path.c_str(), 65534, 65534), 0);
        expect_refused("another user's journal");
        ASSERT_EQ(::chown(journal_path.c_str(), 0, 0), 0);
    }
    ASSERT_EQ(::link(journal_path.c_str(), path("second-name").c_str()), 0);
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

    std::filesystem::create_directory_symlink(path("journal"), path("linked"));
    EXPECT_EQ(KivRecover(path("linked").c_str()), KIVTRANSACTION_NO_JOURNAL);
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_FINISHED);
    expect_all_new();
}

}  // namespace

// SPDX-License-Identifier: Zlib
// Power loss in a transaction: the driver runs one transaction (or one
// recovery) with the killpoint library recording its operations, and the
// transaction explorer makes every crash state that a power cut at any
// point of that log may leave real in a scratch tree, recovers it with the
// real KivRecover and judges it: every target old or every target new,
// nothing of the transaction left, and a second recovery with nothing to
// do. Taking any one sync of the protocol out of the log must be noticed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "kivtest/system.h"
#include "transaction_explorer.h"

namespace {

using kivcrash::InodeId;
using kivcrash::Op;
using kivcrash::OpKind;
using kivcrash::TransactionCase;
using kivcrash::TransactionExploration;

constexpr std::size_t one_block = 4096;
constexpr std::size_t multi_block = 3 * 4096 + 100;

// Which of a case's targets exist before the transaction.
enum class Targets { fresh, existing, mixed };

// What the members do: install a new file, patch the existing one (every
// "old" becomes "renewed"), or, in a mixed batch, patch each target that
// exists and install the others.
enum class Kinds { installs, patches, mixed };

struct Batch {
    const char* name;
    std::size_t members;
    std::size_t folders;  // the members spread over this many folders, in turn
    std::size_t size;     // of each member's new content
    Targets targets;
    Kinds kinds = Kinds::installs;
    // Crash states checked at a point: all up to this many, else a sample.
    std::uint64_t exhaustive_up_to = 4096;
    std::size_t random_states = 256;
    // The transaction makes app0/made and app0/made/inner, and the members
    // that fall to app0 are new files in them, in turn, so that a made
    // folder lost in a crash would take only some of the members with it.
    bool in_made_folders = false;
};

const char* const made_folders[] = {"made", "made/inner"};

// Twenty members make points with tens of thousands of states, each made
// real on disk and recovered twice: their caps are smaller.
const Batch batches[] = {
    {"OneNewEmptyFile", 1, 1, 0, Targets::fresh},
    {"TwoExistingOneBlockFiles", 2, 1, one_block, Targets::existing},
    {"ThreeMultiBlockFilesSomeNew", 3, 1, multi_block, Targets::mixed},
    {"ThreeEmptyFilesInThreeFoldersSomeNew", 3, 3, 0, Targets::mixed},
    {"FiveOneBlockFilesInThreeFoldersSomeNew", 5, 3, one_block, Targets::mixed},
    {"TwentyMultiBlockFilesInThreeFoldersSomeNew", 20, 3, multi_block, Targets::mixed,
     Kinds::installs, 64, 8},
    {"TwentyOneBlockFilesSomeNew", 20, 1, one_block, Targets::mixed, Kinds::installs, 64, 24},
    {"OnePatchOfAnEmptyishFile", 1, 1, 0, Targets::existing, Kinds::patches},
    {"TwoPatchesOfOneBlockFiles", 2, 1, one_block, Targets::existing, Kinds::patches},
    {"ThreePatchesOfMultiBlockFilesInThreeFolders", 3, 3, multi_block, Targets::existing,
     Kinds::patches},
    {"ThreeMixedMultiBlockFiles", 3, 1, multi_block, Targets::mixed, Kinds::mixed},
    {"FiveMixedOneBlockFilesInThreeFolders", 5, 3, one_block, Targets::mixed, Kinds::mixed},
    {"ThreeNewFilesTwoInFoldersItMakes", 3, 2, one_block, Targets::fresh, Kinds::installs, 4096,
     256, true},
    {"TwentyMixedOneBlockFilesInThreeFolders", 20, 3, one_block, Targets::mixed, Kinds::mixed, 64,
     16},
};

void PrintTo(const Batch& batch, std::ostream* out) {
    *out << batch.name;
}

InodeId identity(const std::string& path) {
    const struct stat status = kivtest::status_of(path);
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Content that tells members and their old and new content apart.
std::string content(const std::string& what, std::size_t member, std::size_t size) {
    const std::string line = what + " content of member " + std::to_string(member) + "\n";
    std::string bytes;
    while (bytes.size() < size) {
        bytes += line;
    }
    bytes.resize(size);
    return bytes;
}

// `text` with every `pattern` replaced, left to right.
std::string replaced(const std::string& text, const std::string& pattern,
                     const std::string& replacement) {
    std::string result;
    std::size_t at = 0;
    for (std::size_t found; (found = text.find(pattern, at)) != std::string::npos;
         at = found + pattern.size()) {
        result += text.substr(at, found - at) + replacement;
    }
    return result + text.substr(at);
}

std::string summary(const TransactionExploration& result) {
    std::string text = std::to_string(result.points) + " points (" +
                       std::to_string(result.exhaustive_points) + " exhaustively), " +
                       std::to_string(result.states) + " crash states, " +
                       std::to_string(result.violations) + " violations (" +
                       std::to_string(result.cut_off_journals_refused) +
                       " cut-off journals refused, " + std::to_string(result.other_violations) +
                       " other)";
    for (const std::string& example : result.examples) {
        text += "\n    " + example;
    }
    return text;
}

kivcrash::Limits limits_of(const Batch& batch) {
    kivcrash::Limits limits;
    limits.exhaustive_up_to = batch.exhaustive_up_to;
    limits.random_states = batch.random_states;
    return limits;
}

class TransactionRecording : public kivtest::WorkDirTest {
protected:
    // The scratch file system goes before the work directory that holds it.
    void TearDown() override {
        scratch_.reset();
        WorkDirTest::TearDown();
    }

    // Stages the batch's sources and targets, runs the transaction under
    // the recorder and fills `case_` and `log_`.
    void record(const Batch& batch) {
        for (const char* folder : {"journal", "media"}) {
            kivtest::make_directory(path(folder));
        }
        case_ = {};
        case_.journal_folder = identity(path("journal"));
        for (std::size_t folder = 0; folder < batch.folders; ++folder) {
            const std::string name = path("app" + std::to_string(folder));
            kivtest::make_directory(name);
            case_.member_folders.push_back(identity(name));
        }
        std::vector<std::string> arguments = {"txn", path("journal")};
        for (const char* folder : made_folders) {
            if (batch.in_made_folders) {
                arguments.insert(arguments.end(), {"+", path(std::string("app0/") + folder)});
            }
        }
        for (std::size_t member = 0; member < batch.members; ++member) {
            kivcrash::TransactionTarget target;
            target.directory = case_.member_folders[member % batch.folders];
            const bool in_app0 = member % batch.folders == 0;
            target.under = batch.in_made_folders && in_app0
                               ? made_folders[(member / batch.folders) % 2]
                               : "";
            target.name = "target" + std::to_string(member);
            target.existed = batch.targets == Targets::existing ||
                             (batch.targets == Targets::mixed && member % 2 == 0);
            target.new_content = content("new", member, batch.size);
            const std::string source = path("media/source" + std::to_string(member));
            const std::string at = path("app" + std::to_string(member % batch.folders) + "/" +
                                        (target.under.empty() ? "" : target.under + "/") +
                                        target.name);
            kivtest::write_file(source, target.new_content);
            if (target.existed) {
                target.old_content = content("old", member, batch.size == 0 ? 30 : batch.size);
                kivtest::write_file(at, target.old_content);
                case_.existing.push_back(
                    {target.directory, target.name, identity(at), target.old_content});
            }
            const bool patch = target.existed && batch.kinds != Kinds::installs;
            if (patch) {
                target.new_content = replaced(target.old_content, "old", "renewed");
            }
            case_.targets.push_back(target);
            arguments.push_back(patch ? "=old=renewed" : source);
            arguments.push_back(at);
        }
        const kivtest::ProgramRun run = kivtest::run_program(
            KIV_CRASH_DRIVER_PATH, arguments,
            {"KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT", "KIV_TRANSFER_LIMIT=0",
             "LD_PRELOAD=" KIV_KILLPOINT_PATH});
        ASSERT_EQ(run.exit_status, 0) << run.err;
        for (std::size_t member = 0; member < batch.members; ++member) {
            const kivcrash::TransactionTarget& target = case_.targets[member];
            ASSERT_TRUE(kivtest::read_file(path("app" + std::to_string(member % batch.folders) +
                                                "/" +
                                                (target.under.empty() ? "" : target.under + "/") +
                                                target.name)) == target.new_content)
                << "the recorded transaction, member " << member;
        }
        case_.at_the_end = kivcrash::AtTheEnd::all_new;
        case_.scratch = scratch("state");
        log_ = kivcrash::read_oplog(path("oplog"));
        ASSERT_FALSE(log_.empty()) << "the recorder wrote nothing";
    }

    // A place for the states made real. Each recovery syncs folders and
    // the journal's removal: on a tmpfs, where a sync waits for no disk,
    // a state takes a millisecond or two; on the work directory's disk,
    // where it falls back to without root, ten times that.
    std::string scratch(const std::string& name) {
        if (scratch_ == nullptr) {
            scratch_ = std::make_unique<kivtest::TmpfsMount>(path("scratch"), 256u << 20);
            if (!scratch_->ok()) {
                std::printf("the states are made on the work directory's disk: %s\n",
                            scratch_->error().c_str());
            }
        }
        return scratch_->ok() ? scratch_->directory() + "/" + name : path(name);
    }

    TransactionCase case_;
    std::vector<Op> log_;
    std::unique_ptr<kivtest::TmpfsMount> scratch_;
};

// The refusal of a journal cut off in an append is judged on its own
// (AJournalCutOffInAnAppendIsRecoveredNotRefused): the explorer goes on
// past it as if the cut-off bytes were dropped, and every other way to
// break the promise counts here.
class PowerLossTransaction : public TransactionRecording,
                             public ::testing::WithParamInterface<Batch> {};

TEST_P(PowerLossTransaction, NoCrashStateLeavesAMixOrALeftoverAfterRecovery) {
    ASSERT_NO_FATAL_FAILURE(record(GetParam()));
    const TransactionExploration result =
        kivcrash::explore_transaction(log_, case_, limits_of(GetParam()));
    std::printf("%s: %zu operations, %s\n", GetParam().name, log_.size(), summary(result).c_str());
    RecordProperty("states", std::to_string(result.states));
    RecordProperty("every_point_exhaustive",
                   result.exhaustive_points == result.points ? "yes" : "no");
    EXPECT_EQ(result.other_violations, 0u) << summary(result);
    EXPECT_GT(result.states, log_.size()) << "fewer crash states than operations";
}

// Recovery must take a journal that a crash cut off in the middle of an
// append, as the reader's own rule says (a cut-off last record is
// dropped): a journal whose header never reached the disk, or whose last
// record reached it as a length without its bytes, holds nothing that
// recovery could act on wrongly. Refusing it leaves the journal, and the
// staged files it names, for good, and every later KivTransactionBegin on
// the folder fails.
TEST_F(TransactionRecording, AJournalCutOffInAnAppendIsRecoveredNotRefused) {
    const Batch batch = {"TwoOneBlockFilesSomeNew", 2, 1, one_block, Targets::mixed};
    ASSERT_NO_FATAL_FAILURE(record(batch));
    const TransactionExploration result =
        kivcrash::explore_transaction(log_, case_, limits_of(batch));
    std::printf("%s: %s\n", batch.name, summary(result).c_str());
    EXPECT_EQ(result.cut_off_journals_refused, 0u) << summary(result);
}

INSTANTIATE_TEST_SUITE_P(Batches, PowerLossTransaction, ::testing::ValuesIn(batches),
                         [](const ::testing::TestParamInfo<Batch>& case_info) {
                             return std::string(case_info.param.name);
                         });

// The folders and files of a state made real, as the files that exist
// before a recovery's log begins, and the recorded case's targets in the
// made folders.
TransactionCase recovery_case(const TransactionCase& recorded, const TransactionCase& made,
                              kivcrash::AtTheEnd at_the_end) {
    TransactionCase recovery;
    recovery.journal_folder = identity(kivcrash::scratch_journal_folder(made));
    std::vector<std::string> folders = {kivcrash::scratch_journal_folder(made)};
    for (std::size_t index = 0; index < made.member_folders.size(); ++index) {
        folders.push_back(kivcrash::scratch_member_folder(made, index));
        recovery.member_folders.push_back(identity(folders.back()));
    }
    for (const std::string& folder : folders) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string file = entry.path().string();
            recovery.existing.push_back({identity(folder), entry.path().filename().string(),
                                         identity(file), kivtest::read_file(file)});
        }
    }
    for (kivcrash::TransactionTarget target : recorded.targets) {
        const auto index = std::find(recorded.member_folders.begin(),
                                     recorded.member_folders.end(), target.directory) -
                           recorded.member_folders.begin();
        target.directory = recovery.member_folders[static_cast<std::size_t>(index)];
        recovery.targets.push_back(target);
    }
    recovery.at_the_end = at_the_end;
    return recovery;
}

// Names a sync of a transaction's log for what it makes durable: the
// journal's records (fdatasync), its folder's entry (fsync after the
// creation and after the unlink), a staged file's data, or a member
// folder's entries (before the ready records, after the renames).
std::vector<std::string> name_syncs(const std::vector<Op>& log, const TransactionCase& recorded) {
    std::vector<std::string> names(log.size());
    InodeId journal;
    std::size_t records_synced = 0;
    std::size_t journal_folder_syncs = 0;
    std::size_t staged = 0;
    bool committed = false;
    const std::size_t members = recorded.targets.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
        const Op& op = log[i];
        if (op.kind == OpKind::create && op.directory == recorded.journal_folder) {
            journal = op.inode;
        }
        if (!kivcrash::is_sync(op)) {
            continue;
        }
        if (op.inode == journal) {
            const std::size_t record = records_synced++;
            committed = record == members + 2;
            names[i] = record == 0         ? "the header's fdatasync"
                       : record <= members ? "member " + std::to_string(record - 1) +
                                                 "'s intent's fdatasync"
                       : record == members + 1 ? "the ready records' fdatasync"
                                               : "the commit record's fdatasync";
        } else if (op.inode == recorded.journal_folder) {
            names[i] = journal_folder_syncs++ == 0
                           ? "the journal folder's fsync after the journal's creation"
                           : "the journal folder's fsync after the journal's unlink";
        } else if (!op.is_directory) {
            names[i] = "member " + std::to_string(staged++) + "'s staged file's fsync";
        } else {
            const auto folder = std::find(recorded.member_folders.begin(),
                                          recorded.member_folders.end(), op.inode) -
                                recorded.member_folders.begin();
            names[i] = "member folder " + std::to_string(folder) + "'s fsync " +
                       (committed ? "after the renames" : "before the ready records");
        }
    }
    return names;
}

// Each sync of the protocol, taken out of the log in turn, must let some
// crash state break the promise. The case spreads two members, one new
// target and one existing, over two folders, so that each kind of sync
// appears more than once.
TEST_F(TransactionRecording, TakingOutAnySyncOfTheProtocolIsNoticed) {
    // Installs alone, then a patch beside an install: a patch adds the sync
    // of the file written back, before its staged file goes.
    const Batch installs = {"TwoOneBlockFilesInTwoFolders", 2, 2, one_block, Targets::mixed};
    const Batch mixed = {"APatchAndAnInstallInTwoFolders", 2, 2, one_block, Targets::mixed,
                         Kinds::mixed};
    for (const Batch* batch : {&installs, &mixed}) {
        SCOPED_TRACE(batch->name);
        const std::size_t patches = batch->kinds == Kinds::installs ? 0 : 1;
        ASSERT_NO_FATAL_FAILURE(record(*batch));
        const TransactionExploration whole =
            kivcrash::explore_transaction(log_, case_, limits_of(*batch));
        std::printf("%s, every sync: %s\n", batch->name, summary(whole).c_str());
        EXPECT_EQ(whole.violations, 0u);
        const std::vector<std::string> names = name_syncs(log_, case_);
        std::size_t syncs = 0;
        std::size_t noticed = 0;
        for (std::size_t i = 0; i < log_.size(); ++i) {
            if (!kivcrash::is_sync(log_[i])) {
                continue;
            }
            ++syncs;
            std::vector<Op> without = log_;
            without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
            const TransactionExploration result =
                kivcrash::explore_transaction(without, case_, limits_of(*batch));
            // A journal that recovery has to refuse breaks the promise as
            // surely as a mix: the journal and its staged files stay.
            const bool seen = result.violations > 0;
            noticed += seen ? 1 : 0;
            std::printf("without #%zu, %s: %s\n", i, names[i].c_str(), summary(result).c_str());
            EXPECT_TRUE(seen) << "nothing noticed #" << i << " " << names[i] << " gone";
        }
        std::printf("%zu of %zu syncs noticed\n", noticed, syncs);
        EXPECT_EQ(syncs, 1 + 1 + 2 * batch->members + 2 * batch->folders + 2 + 1 + patches)
            << "the log holds other syncs than the protocol's";
        std::filesystem::remove_all(path("journal"));
        std::filesystem::remove_all(path("media"));
        for (std::size_t folder = 0; folder < batch->folders; ++folder) {
            std::filesystem::remove_all(path("app" + std::to_string(folder)));
        }
    }
}

// A recovery cut off anywhere is finished by the next: the recovery of a
// committed journal whose members are not yet in place (the state after
// the commit record's sync), and of an uncommitted one (the state before
// the commit record's write), each made real from a transaction's log,
// recorded, and its own crash states explored with a second recovery.
TEST_F(TransactionRecording, ARecoveryCutOffAnywhereIsFinishedByTheNext) {
    const Batch batch = {"ThreeOneBlockFilesInThreeFoldersSomeNew", 3, 3, one_block,
                         Targets::mixed};
    ASSERT_NO_FATAL_FAILURE(record(batch));
    InodeId journal;
    std::size_t commit_write = log_.size();
    for (std::size_t i = 0; i < log_.size(); ++i) {
        if (log_[i].kind == OpKind::create && log_[i].directory == case_.journal_folder) {
            journal = log_[i].inode;
        } else if (log_[i].kind == OpKind::write && log_[i].inode == journal) {
            commit_write = i;
        }
    }
    ASSERT_LT(commit_write + 1, log_.size());
    ASSERT_EQ(log_[commit_write + 1].kind, OpKind::fdatasync) << "the commit record's sync";
    for (const bool committed : {true, false}) {
        SCOPED_TRACE(committed ? "committed" : "uncommitted");
        TransactionCase start = case_;
        start.scratch = path(committed ? "committed" : "uncommitted");
        std::string why;
        ASSERT_TRUE(kivcrash::materialise_whole(log_, committed ? commit_write + 2 : commit_write,
                                                start, why))
            << why;
        TransactionCase recovery = recovery_case(
            case_, start, committed ? kivcrash::AtTheEnd::all_new : kivcrash::AtTheEnd::all_old);
        recovery.scratch = scratch("state");
        const std::string oplog = start.scratch + ".oplog";
        const kivtest::ProgramRun run = kivtest::run_program(
            KIV_CRASH_DRIVER_PATH, {"recover", kivcrash::scratch_journal_folder(start)},
            {"KIV_OPLOG=" + oplog, "KIV_KILL_AT", "KIV_TRANSFER_LIMIT=0",
             "LD_PRELOAD=" KIV_KILLPOINT_PATH});
        ASSERT_EQ(run.exit_status, 0) << run.err;
        const std::vector<Op> log = kivcrash::read_oplog(oplog);
        ASSERT_FALSE(log.empty()) << "the recorder wrote nothing";
        const TransactionExploration result =
            kivcrash::explore_transaction(log, recovery, limits_of(batch));
        std::printf("recovery of the %s journal: %zu operations, %s\n",
                    committed ? "committed" : "uncommitted", log.size(),
                    summary(result).c_str());
        EXPECT_EQ(result.violations, 0u) << summary(result);
        EXPECT_GT(result.states, log.size()) << "fewer crash states than operations";
        // The recovery's own syncs, of each member folder and of the journal
        // folder after the unlink, each needed.
        std::size_t syncs = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (!kivcrash::is_sync(log[i])) {
                continue;
            }
            ++syncs;
            std::vector<Op> without = log;
            without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
            const TransactionExploration missing =
                kivcrash::explore_transaction(without, recovery, limits_of(batch));
            std::printf("  without #%zu %s: %s\n", i, log[i].describe().c_str(),
                        summary(missing).c_str());
            EXPECT_GT(missing.violations, 0u) << "nothing noticed #" << i << " gone";
        }
        EXPECT_EQ(syncs, batch.folders + 1)
            << "a recovery syncs each member folder and the journal's";
    }
}

}  // namespace

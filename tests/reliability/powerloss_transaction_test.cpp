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

struct Batch {
    const char* name;
    std::size_t members;
    std::size_t folders;  // the members spread over this many folders, in turn
    std::size_t size;     // of each member's new content
    Targets targets;
    // Crash states checked at a point: all up to this many, else a sample.
    std::uint64_t exhaustive_up_to = 4096;
    std::size_t random_states = 256;
};

// Twenty members make points with tens of thousands of states, each made
// real on disk and recovered twice: their caps are smaller.
const Batch batches[] = {
    {"OneNewEmptyFile", 1, 1, 0, Targets::fresh},
    {"TwoExistingOneBlockFiles", 2, 1, one_block, Targets::existing},
    {"ThreeMultiBlockFilesSomeNew", 3, 1, multi_block, Targets::mixed},
    {"ThreeEmptyFilesInThreeFoldersSomeNew", 3, 3, 0, Targets::mixed},
    {"FiveOneBlockFilesInThreeFoldersSomeNew", 5, 3, one_block, Targets::mixed},
    {"TwentyMultiBlockFilesInThreeFoldersSomeNew", 20, 3, multi_block, Targets::mixed, 64, 24},
    {"TwentyOneBlockFilesSomeNew", 20, 1, one_block, Targets::mixed, 64, 24},
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
        for (std::size_t member = 0; member < batch.members; ++member) {
            kivcrash::TransactionTarget target;
            target.directory = case_.member_folders[member % batch.folders];
            target.name = "target" + std::to_string(member);
            target.existed = batch.targets == Targets::existing ||
                             (batch.targets == Targets::mixed && member % 2 == 0);
            target.new_content = content("new", member, batch.size);
            const std::string source = path("media/source" + std::to_string(member));
            const std::string at =
                path("app" + std::to_string(member % batch.folders) + "/" + target.name);
            kivtest::write_file(source, target.new_content);
            if (target.existed) {
                target.old_content = content("old", member, batch.size == 0 ? 30 : batch.size);
                kivtest::write_file(at, target.old_content);
                case_.existing.push_back(
                    {target.directory, target.name, identity(at), target.old_content});
            }
            case_.targets.push_back(target);
            arguments.push_back(source);
            arguments.push_back(at);
        }
        const kivtest::ProgramRun run = kivtest::run_program(
            KIV_CRASH_DRIVER_PATH, arguments,
            {"KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT", "KIV_TRANSFER_LIMIT=0",
             "LD_PRELOAD=" KIV_KILLPOINT_PATH});
        ASSERT_EQ(run.exit_status, 0) << run.err;
        for (std::size_t member = 0; member < batch.members; ++member) {
            ASSERT_TRUE(kivtest::read_file(path("app" + std::to_string(member % batch.folders) +
                                                "/target" + std::to_string(member))) ==
                        case_.targets[member].new_content)
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

INSTANTIATE_TEST_SUITE_P(Batches, PowerLossTransaction, ::testing::ValuesIn(batches),
                         [](const ::testing::TestParamInfo<Batch>& case_info) {
                             return std::string(case_info.param.name);
                         });

}  // namespace

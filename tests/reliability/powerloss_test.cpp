// SPDX-License-Identifier: Zlib
// Power loss: the driver makes one substitution with the killpoint library
// recording its operations, and the explorer checks every crash state that
// a power cut at any point of that log may leave (crash_model.h says which).
// The same log with any one of its syncs taken out must break the promise,
// so that a model that lets everything through cannot pass unnoticed.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "crash_explorer.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "kivtest/reference.h"
#include "planted_text.h"

namespace {

using kivcrash::Exploration;
using kivcrash::InodeId;
using kivcrash::Op;

#if KIV_POWERLOSS_LARGE
constexpr std::size_t large_file = 16u << 20;
constexpr std::size_t random_states = 16384;
#else
constexpr std::size_t large_file = 3u << 20;
constexpr std::size_t random_states = 4096;
#endif

enum class Tmp {
    set,        // a directory of its own
    unset,      // the temporary file goes beside the file
    write_only  // mode 0333: the directory cannot be read, so it cannot be synced itself
};

struct Scenario {
    const char* name;
    std::size_t size;
    bool growing;
    Tmp tmp;
    std::size_t transfer_limit = 0;  // bytes per write or copy, as the killpoint library caps them
};

const Scenario scenarios[] = {
    {"OneBlockGrowing", 2000, true, Tmp::set},
    {"OneBlockShrinkingBesideTheFile", 2000, false, Tmp::unset},
    {"MultiBlockGrowingBesideTheFile", 24 * 1024, true, Tmp::unset},
    {"MultiBlockShrinking", 40 * 1024, false, Tmp::set},
    {"MultiBlockGrowingInAWriteOnlyTmp", 24 * 1024, true, Tmp::write_only},
    {"ShortTransfersShrinking", 256 * 1024, false, Tmp::set, 16 * 1024},
    {"LargeGrowing", large_file, true, Tmp::set},
    {"LargeShrinkingBesideTheFile", large_file, false, Tmp::unset},
};

// Names the scenario in the test's name and messages.
void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

InodeId identity(const std::string& path) {
    const struct stat status = kivtest::status_of(path);
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::string summary(const Exploration& result) {
    std::string text = std::to_string(result.points) + " points (" +
                       std::to_string(result.exhaustive_points) + " exhaustively), " +
                       std::to_string(result.states) + " crash states, " +
                       std::to_string(result.violations) + " violations";
    for (const std::string& example : result.examples) {
        text += "\n    " + example;
    }
    return text;
}

std::string file_name(const std::string& file) {
    return std::filesystem::path(file).filename().string();
}

// Copies the driver, the libraries it loads and the recorder into
// `programs`, a folder of the work directory, which every user may enter:
// the build tree may lie where the user nobody cannot (a clone under /root).
std::string copy_crash_programs(const std::string& programs) {
    kivtest::make_directory(programs);
    for (const std::string file :
         {KIV_CRASH_DRIVER_PATH, KIV_KILLPOINT_PATH, KIV_KIVSUBST_PATH, KIV_KIVCOPY_PATH,
          KIV_KIVTRANSACTION_PATH}) {
        std::filesystem::copy_file(file, programs + "/" + file_name(file));
    }
    return programs;
}

// How many of the log's operations are syncs of the kind `counted`; the
// promise must break without any one of them.
std::size_t needed_syncs(const std::vector<Op>& log, const kivcrash::Promise& promise,
                         const std::function<bool(const Op&)>& counted) {
    std::size_t syncs = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (!counted(log[i])) {
            continue;
        }
        ++syncs;
        std::vector<Op> without = log;
        without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
        EXPECT_GT(kivcrash::explore(without, promise).violations, 0u)
            << "nothing noticed #" << i << " " << log[i].describe() << " gone";
    }
    return syncs;
}

bool is_file_system_sync(const Op& op) {
    return op.kind == kivcrash::OpKind::syncfs;
}

bool is_whole_sync(const Op& op) {
    return op.kind == kivcrash::OpKind::sync;
}

class PowerLoss : public kivtest::WorkDirTest, public ::testing::WithParamInterface<Scenario> {
protected:
    // Patches the scenario's file once with the operations recorded; fills
    // `log_` and `promise_`.
    void record() {
        const Scenario& scenario = GetParam();
        const std::string pattern =
            scenario.growing ? "{{install-dir}}" : "C:/Program Files/Previous Product Name/";
        const std::string replacement =
            scenario.growing ? "/opt/products/installer-test/version-1.0.0/share" : "D:/p/";
        const std::string file = path("file");
        const std::string old_content = kivtest::planted_text(scenario.size, pattern);
        kivtest::write_file(file, old_content);
        promise_.files = {
            {identity(dir()), "file", identity(file), old_content,
             kivtest::reference_substitution(old_content, pattern, replacement).output}};

        const std::string tmp = path("tmp");
        kivtest::make_directory(tmp);
        std::vector<std::string> environment = {
            "KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT",
            "KIV_TRANSFER_LIMIT=" + std::to_string(scenario.transfer_limit)};
        environment.push_back(scenario.tmp == Tmp::unset ? "TMP" : "TMP=" + tmp);
        if (scenario.tmp == Tmp::write_only) {
            ::chmod(tmp.c_str(), 0333);
        }
        const int status = run_driver({"subst", file, pattern, replacement}, environment);
        ::chmod(tmp.c_str(), 0755);
        ASSERT_EQ(status, 0) << "the recorded run failed";
        ASSERT_TRUE(kivtest::read_file(file) == promise_.files[0].new_content)
            << "the recorded run";
        log_ = kivcrash::read_oplog(path("oplog"));
        ASSERT_FALSE(log_.empty()) << "the recorder wrote nothing";
    }

    // Runs the driver under the recorder; as root, a write-only TMP needs
    // the driver to run as another user, since root reads any directory.
    int run_driver(const std::vector<std::string>& arguments,
                   std::vector<std::string> environment) {
        std::string driver = KIV_CRASH_DRIVER_PATH;
        std::string recorder = KIV_KILLPOINT_PATH;
        const bool as_nobody = GetParam().tmp == Tmp::write_only && ::geteuid() == 0;
        if (as_nobody) {
            const std::string programs = copy_programs();
            driver = programs + "/" + file_name(driver);
            recorder = programs + "/" + file_name(recorder);
            environment.push_back("LD_LIBRARY_PATH=" + programs);
        }
        environment.push_back("LD_PRELOAD=" + recorder);
        const auto run = [&] {
            return kivtest::run_program(driver, arguments, environment).exit_status;
        };
        if (!as_nobody) {
            return run();
        }
        const struct passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr ||
            ::chown(path("file").c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            ADD_FAILURE() << "cannot hand the file to the user nobody";
            return -1;
        }
        std::string why_not;
        const int status = kivtest::run_as_nobody(run, why_not);
        EXPECT_TRUE(why_not.empty()) << why_not;
        return status;
    }

    std::string copy_programs() { return copy_crash_programs(path("programs")); }

    kivcrash::Limits limits() const {
        kivcrash::Limits chosen;
        chosen.random_states = random_states;
        return chosen;
    }

    std::vector<Op> log_;
    kivcrash::Promise promise_;
};

TEST_P(PowerLoss, NoCrashStateLosesTheFile) {
    ASSERT_NO_FATAL_FAILURE(record());
    const Exploration result = kivcrash::explore(log_, promise_, limits());
    std::printf("%s: %zu operations, %s\n", GetParam().name, log_.size(), summary(result).c_str());
    EXPECT_EQ(result.violations, 0u) << summary(result);
    EXPECT_GT(result.states, log_.size()) << "fewer crash states than operations";
    if (GetParam().tmp == Tmp::write_only) {
        const bool synced_the_file_system = std::any_of(log_.begin(), log_.end(), [](const Op& op) {
            return op.kind == kivcrash::OpKind::syncfs;
        });
        EXPECT_TRUE(synced_the_file_system) << "the write-only TMP was not the syncfs path";
    }
}

// A sync that the next one makes redundant (an fsync right before a syncfs)
// can go without harm; every other one must be missed.
TEST_P(PowerLoss, TakingOutAnySyncBreaksThePromise) {
    ASSERT_NO_FATAL_FAILURE(record());
    std::size_t needed = 0;
    for (std::size_t i = 0; i < log_.size(); ++i) {
        if (!kivcrash::is_sync(log_[i])) {
            continue;
        }
        std::vector<Op> without = log_;
        without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
        const Exploration result = kivcrash::explore(without, promise_, limits());
        const bool covered = kivcrash::is_covered_sync(log_, i);
        std::printf("%s without #%zu %s%s: %s\n", GetParam().name, i, log_[i].describe().c_str(),
                    covered ? " (covered by the next sync)" : "", summary(result).c_str());
        if (covered) {
            EXPECT_EQ(result.violations, 0u) << "#" << i << " " << log_[i].describe();
        } else {
            ++needed;
            EXPECT_GT(result.violations, 0u)
                << "nothing noticed #" << i << " " << log_[i].describe() << " gone";
        }
    }
    EXPECT_GE(needed, 2u) << "the log holds fewer syncs than a durable substitution needs";
}

INSTANTIATE_TEST_SUITE_P(Substitution, PowerLoss, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& case_info) {
                             return std::string(case_info.param.name);
                         });

#if defined(KIVSUBST_CLI_PATH)
// The front end patching several files in one run: a batch's temporary
// files are made durable together, then the files written back and given
// their times, then the temporary files go, their deletions made durable
// once more, each time by syncing the batch's own files and directories. Every crash state
// keeps each file whole, old or new, or its new content in a durable
// temporary file; and every one of the batch's syncs is needed.
class PowerLossManyFiles : public kivtest::WorkDirTest {
protected:
    void record(Tmp tmp, bool backup = false) {
        const std::string pattern = "{{install-dir}}";
        const std::string replacement = "/opt/products/installer-test";
        std::vector<std::string> arguments = {"--", pattern, replacement};
        if (backup) {
            arguments.insert(arguments.begin(), "--backup");
        }
        const std::size_t sizes[] = {2000, 24 * 1024, 9000};
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            const std::string name = "file" + std::to_string(i);
            const std::string old_content = kivtest::planted_text(sizes[i], pattern);
            kivtest::write_file(path(name), old_content);
            promise_.files.push_back(
                {identity(dir()), name, identity(path(name)), old_content,
                 kivtest::reference_substitution(old_content, pattern, replacement).output});
            arguments.push_back(path(name));
        }
        kivtest::make_directory(path("tmp"));
        std::vector<std::string> environment = {"KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT",
                                                "KIV_TRANSFER_LIMIT=0",
                                                tmp == Tmp::unset ? "TMP" : "TMP=" + path("tmp")};
        kivtest::ProgramRun run;
        if (tmp == Tmp::write_only) {
            ::chmod(path("tmp").c_str(), 0333);
        }
        if (tmp == Tmp::write_only && ::geteuid() == 0) {
            run = run_as_nobody(arguments, environment);
        } else {
            environment.push_back("LD_PRELOAD=" KIV_KILLPOINT_PATH);
            run = kivtest::run_program(KIVSUBST_CLI_PATH, arguments, environment);
        }
        ::chmod(path("tmp").c_str(), 0755);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        log_ = kivcrash::read_oplog(path("oplog"));
        ASSERT_FALSE(log_.empty()) << "the recorder wrote nothing";
    }

    // Root reads any directory, so a TMP that may be written but not read
    // needs the front end run as another user, who owns the files; the
    // front end and the recorder are copied where that user may run them.
    kivtest::ProgramRun run_as_nobody(const std::vector<std::string>& arguments,
                                      std::vector<std::string> environment) {
        const struct passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            ADD_FAILURE() << "there is no user named nobody";
            return {};
        }
        for (const kivcrash::WatchedFile& file : promise_.files) {
            if (::chown(path(file.name).c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                ADD_FAILURE() << "cannot hand '" << file.name << "' to the user nobody";
                return {};
            }
        }
        const std::string programs = path("programs");
        kivtest::make_directory(programs);
        const std::string front_end = programs + "/kivsubst";
        const std::string recorder = programs + "/killpoint.so";
        std::filesystem::copy_file(KIVSUBST_CLI_PATH, front_end);
        std::filesystem::copy_file(KIV_KILLPOINT_PATH, recorder);
        environment.push_back("LD_PRELOAD=" + recorder);
        // The front end runs from a child that is nobody: its exit status
        // comes back as the child's, its complaints go to the test's log.
        kivtest::ProgramRun run;
        std::string why_not;
        run.exit_status = kivtest::run_as_nobody(
            [&] {
                const kivtest::ProgramRun inner =
                    kivtest::run_program(front_end, arguments, environment);
                std::fputs(inner.err.c_str(), stderr);
                return inner.exit_status;
            },
            why_not);
        EXPECT_TRUE(why_not.empty()) << why_not;
        return run;
    }

    std::vector<Op> log_;
    kivcrash::Promise promise_;
};

TEST_F(PowerLossManyFiles, NoCrashStateLosesAFileAndEverySyncIsNeeded) {
    for (const bool tmp_set : {true, false}) {
        SCOPED_TRACE(tmp_set ? "TMP set" : "TMP unset");
        promise_ = {};
        ASSERT_NO_FATAL_FAILURE(record(tmp_set ? Tmp::set : Tmp::unset));
        const Exploration result = kivcrash::explore(log_, promise_);
        std::printf("many files, TMP %s: %zu operations, %s\n", tmp_set ? "set" : "unset",
                    log_.size(), summary(result).c_str());
        EXPECT_EQ(result.violations, 0u) << summary(result);
        // Every sync up to the temporary files' deletions is needed: one
        // for each temporary file, one for their directory, and one for
        // each file written back. None syncs a whole file system, which
        // would wait for other programs' writes too.
        std::size_t last_removal = 0;
        for (std::size_t i = 0; i < log_.size(); ++i) {
            if (log_[i].kind == kivcrash::OpKind::unlink && log_[i].name.rfind("KIV", 0) == 0) {
                last_removal = i;
            }
        }
        ASSERT_GT(last_removal, 0u) << "no temporary file was removed";
        std::size_t needed = 0;
        for (std::size_t i = 0; i < last_removal; ++i) {
            if (!kivcrash::is_sync(log_[i]) || kivcrash::is_covered_sync(log_, i)) {
                continue;
            }
            ++needed;
            std::vector<Op> without = log_;
            without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
            const Exploration broken = kivcrash::explore(without, promise_);
            EXPECT_GT(broken.violations, 0u)
                << "nothing noticed #" << i << " " << log_[i].describe() << " gone";
        }
        EXPECT_EQ(needed, 2 * promise_.files.size() + 1)
            << "one sync a temporary file, one for their directory, one a file written back";
        EXPECT_TRUE(std::none_of(log_.begin(), log_.end(), [](const Op& op) {
            return op.kind == kivcrash::OpKind::syncfs || op.kind == kivcrash::OpKind::sync;
        })) << "a whole file system was synced";
        // The run ends with the temporary files' deletions and the files'
        // restored times durable, which the promise about content does not
        // cover: their directory is synced after the last deletion, and each
        // file's times are set before the sync that makes its content
        // durable.
        const auto synced_between = [&](const InodeId& inode, std::size_t from, std::size_t to) {
            return std::any_of(log_.begin() + static_cast<std::ptrdiff_t>(from),
                               log_.begin() + static_cast<std::ptrdiff_t>(to), [&](const Op& op) {
                                   return op.kind == kivcrash::OpKind::fsync && op.inode == inode;
                               });
        };
        EXPECT_TRUE(synced_between(log_[last_removal].directory, last_removal, log_.size()))
            << "the temporary files' deletions were left unsynced";
        for (const kivcrash::WatchedFile& file : promise_.files) {
            const auto times = std::find_if(log_.begin(), log_.end(), [&](const Op& op) {
                return op.kind == kivcrash::OpKind::times && op.inode == file.inode;
            });
            ASSERT_NE(times, log_.end()) << "'" << file.name << "' got no times back";
            EXPECT_TRUE(synced_between(file.inode, static_cast<std::size_t>(times - log_.begin()),
                                       last_removal))
                << "the restored times of '" << file.name << "' were left unsynced";
        }
        for (auto& name : {"file0", "file1", "file2"}) {
            kivtest::remove_tree(path(name));
        }
        kivtest::remove_tree(path("oplog"));
    }
}

// Backups are made beside the files, by the front end itself, not in the
// temporary files' directory: the batch finds their directory and syncs it
// with the temporary files, before any file is written back.
TEST_F(PowerLossManyFiles, BackupsAreDurableBeforeAnyFileIsWrittenBack) {
    ASSERT_NO_FATAL_FAILURE(record(Tmp::set, true));
    const Exploration result = kivcrash::explore(log_, promise_);
    EXPECT_EQ(result.violations, 0u) << summary(result);
    std::size_t first_write_back = log_.size();
    for (std::size_t i = 0; i < log_.size() && first_write_back == log_.size(); ++i) {
        for (const kivcrash::WatchedFile& file : promise_.files) {
            if (log_[i].kind == kivcrash::OpKind::write && log_[i].inode == file.inode) {
                first_write_back = i;
            }
        }
    }
    ASSERT_LT(first_write_back, log_.size()) << "no file was written back";
    const InodeId files_directory = identity(dir());
    std::size_t backups = 0;
    std::size_t backups_synced = 0;
    bool directory_synced = false;
    for (std::size_t i = 0; i < first_write_back; ++i) {
        const Op& op = log_[i];
        if (op.kind == kivcrash::OpKind::rename && op.to_directory == files_directory) {
            ++backups;
            backups_synced += std::any_of(log_.begin() + static_cast<std::ptrdiff_t>(i),
                                          log_.begin() + static_cast<std::ptrdiff_t>(first_write_back),
                                          [&](const Op& later) {
                                              return later.kind == kivcrash::OpKind::fsync &&
                                                     later.inode == op.inode;
                                          });
        }
        directory_synced = directory_synced || (op.kind == kivcrash::OpKind::fsync &&
                                                op.inode == files_directory && backups > 0);
    }
    EXPECT_EQ(backups, promise_.files.size()) << "not every file got a backup";
    EXPECT_EQ(backups_synced, backups) << "a backup's data were not synced";
    EXPECT_TRUE(directory_synced) << "the backups' entries were left unsynced";
}

// A TMP that may be written but not read cannot be synced itself: the batch
// syncs the file system that holds it instead (syncfs), once after the
// temporary files are written. Every crash state keeps each file whole, and
// without that sync the temporary files' entries may be lost while their
// files are being overwritten. The temporary files' own fsyncs before it are
// covered by it, so it is the one sync that this case adds to the others'.
TEST_F(PowerLossManyFiles, AWriteOnlyTmpIsMadeDurableBySyncingItsFileSystem) {
    ASSERT_NO_FATAL_FAILURE(record(Tmp::write_only));
    const Exploration result = kivcrash::explore(log_, promise_);
    std::printf("many files, TMP write-only: %zu operations, %s\n", log_.size(),
                summary(result).c_str());
    EXPECT_EQ(result.violations, 0u) << summary(result);
    EXPECT_GE(needed_syncs(log_, promise_, is_file_system_sync), 1u) << "the write-only TMP was not the syncfs path";
}
#endif

// The recorder takes down the data that a copy moves inside the kernel
// (copy_file_range, and FICLONERANGE where the file system shares blocks)
// as the bytes that the target holds from then on, so that the log alone
// rebuilds the copy: the explorer sees every byte a copy moved.
class RecordedCopy : public kivtest::WorkDirTest {
protected:
    // Copies `source` over `target` with its operations recorded and gives
    // back the target as the log's writes and truncations rebuild it;
    // `calls` says which calls wrote to it.
    std::string rebuilt(const std::string& source, const std::string& target,
                        std::set<std::string>& calls) {
        const std::string old_content(5000, 'o');
        kivtest::write_file(target, old_content);
        const kivtest::ProgramRun run = kivtest::run_program(
            KIV_CRASH_DRIVER_PATH, {"copy", source, target},
            {"LD_PRELOAD=" KIV_KILLPOINT_PATH, "KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT",
             "KIV_TRANSFER_LIMIT=0"});
        EXPECT_EQ(run.exit_status, 0) << run.err;
        const InodeId copy = identity(target);
        std::string bytes = old_content;
        for (const Op& op : kivcrash::read_oplog(path("oplog"))) {
            if (op.inode != copy) {
                continue;
            }
            if (op.kind == kivcrash::OpKind::ftruncate) {
                bytes.resize(static_cast<std::size_t>(op.length), '\0');
            } else if (op.kind == kivcrash::OpKind::write) {
                const auto end = static_cast<std::size_t>(op.offset) + op.data.size();
                bytes.resize(std::max(bytes.size(), end), '\0');
                bytes.replace(static_cast<std::size_t>(op.offset), op.data.size(), op.data);
                calls.insert(op.call);
            }
        }
        return bytes;
    }
};

TEST_F(RecordedCopy, TheLogRebuildsACopyMadeInsideTheKernel) {
    const std::string content = kivtest::planted_text(700 * 1024 + 5, "{{install-dir}}");
    kivtest::write_file(path("source"), content);
    std::set<std::string> calls;
    EXPECT_TRUE(rebuilt(path("source"), path("target"), calls) == content);
    EXPECT_EQ(calls, std::set<std::string>{"copy_file_range"});

    kivtest::ImageMount btrfs(path("btrfs.img"), path("btrfs"), "btrfs", 256u << 20);
    if (!btrfs.ok()) {
        GTEST_SKIP() << "the copy that shares blocks: " << btrfs.error();
    }
    kivtest::write_file(path("btrfs/source"), content);
    calls.clear();
    EXPECT_TRUE(rebuilt(path("btrfs/source"), path("btrfs/target"), calls) == content);
    EXPECT_EQ(calls, std::set<std::string>{"ficlonerange"});
}

// KivInstallFile writes the new file whole beside the target, syncs its
// data, renames it over the target and syncs the folder: at every point a
// cut leaves the target whole, old or new, once the call returned 0 only
// new, and without either sync it would not.
class PowerLossInstall : public kivtest::WorkDirTest {
protected:
    // Installs a new file over `folder`/target with its operations
    // recorded, as root or, for a folder that root could read anyway, as
    // the user nobody; fills `promise_` and `log_`.
    void record(const std::string& folder, bool as_nobody) {
        const std::string target = folder + "/target";
        const std::string old_content(24 * 1024 + 3, 'o');
        const std::string new_content = kivtest::planted_text(300 * 1024 + 7, "{{install-dir}}");
        kivtest::write_file(target, old_content);
        kivtest::write_file(path("source"), new_content);
        promise_ = {{{identity(folder), "target", identity(target), old_content, new_content}},
                    "KIV",
                    true};
        std::string driver = KIV_CRASH_DRIVER_PATH;
        std::vector<std::string> environment = {"KIV_OPLOG=" + path("oplog"), "KIV_KILL_AT",
                                                "KIV_TRANSFER_LIMIT=0",
                                                "LD_PRELOAD=" KIV_KILLPOINT_PATH};
        if (as_nobody) {
            const std::string programs = copy_crash_programs(path("programs"));
            driver = programs + "/" + file_name(driver);
            environment.back() = "LD_PRELOAD=" + programs + "/" + file_name(KIV_KILLPOINT_PATH);
            environment.push_back("LD_LIBRARY_PATH=" + programs);
        }
        const auto run = [&] {
            const kivtest::ProgramRun done =
                kivtest::run_program(driver, {"install", path("source"), target}, environment);
            std::fputs(done.err.c_str(), stderr);
            return done.exit_status;
        };
        std::string why_not;
        const int status = as_nobody ? kivtest::run_as_nobody(run, why_not) : run();
        ASSERT_EQ(status, 0) << why_not;
        ASSERT_TRUE(kivtest::read_file(target) == new_content);
        log_ = kivcrash::read_oplog(path("oplog"));
    }

    kivcrash::Promise promise_;
    std::vector<Op> log_;
};

TEST_F(PowerLossInstall, NoCrashStateLeavesTheTargetMissingOrPartialOrOldAfterItsDone) {
    ASSERT_NO_FATAL_FAILURE(record(dir(), false));
    const Exploration result = kivcrash::explore(log_, promise_);
    std::printf("install: %zu operations, %s\n", log_.size(), summary(result).c_str());
    EXPECT_EQ(result.violations, 0u) << summary(result);
    EXPECT_GT(result.states, log_.size()) << "fewer crash states than operations";
    EXPECT_EQ(needed_syncs(log_, promise_, kivcrash::is_sync), 2u)
        << "an install syncs the new file's data and then its folder, once each";
}

// A folder that the caller may write but not read cannot be synced itself:
// the install syncs every file system instead, and a cut after it returned
// still finds the new file; without that sync it would not.
TEST_F(PowerLossInstall, AWriteOnlyFolderIsMadeDurableBySyncingEveryFileSystem) {
    const std::string folder = path("app");
    kivtest::make_directory(folder);
    const bool as_nobody = ::geteuid() == 0;  // root reads any folder
    ::chmod(folder.c_str(), 0333);
    record(folder, as_nobody);
    ::chmod(folder.c_str(), 0755);
    if (HasFatalFailure()) {
        return;
    }
    const Exploration result = kivcrash::explore(log_, promise_);
    std::printf("install, write-only folder: %zu operations, %s\n", log_.size(),
                summary(result).c_str());
    EXPECT_EQ(result.violations, 0u) << summary(result);
    EXPECT_EQ(needed_syncs(log_, promise_, is_whole_sync), 1u) << "the write-only folder was not the sync() path";
}

// The explorer on logs written by hand: the new content written to another
// file and renamed over the file, as `sed -i` does, loses the file unless
// the new data are synced before the rename (a rename within a directory
// persists whole or not at all).
TEST(PowerLossModel, RenameOverTheFileNeedsTheNewDataSyncedFirst) {
    const InodeId directory{1, 1};
    const InodeId file{1, 2};
    const InodeId replacement{1, 3};
    const kivcrash::Promise promise{
        {{directory, "file", file, std::string(6000, 'o'), std::string(9000, 'n')}}, "KIV"};
    const auto entry = [&](kivcrash::OpKind kind, const std::string& name,
                           const std::string& to = "") {
        Op op;
        op.kind = kind;
        op.inode = replacement;
        op.directory = op.to_directory = directory;
        op.name = name;
        op.to_name = to;
        return op;
    };
    Op write;
    write.kind = kivcrash::OpKind::write;
    write.inode = replacement;
    write.data = promise.files[0].new_content;
    Op sync_data;
    sync_data.kind = kivcrash::OpKind::fsync;
    sync_data.inode = replacement;
    const Op create = entry(kivcrash::OpKind::create, "file.new");
    const Op rename = entry(kivcrash::OpKind::rename, "file.new", "file");

    const Exploration unsynced = kivcrash::explore({create, write, rename}, promise);
    EXPECT_GT(unsynced.violations, 0u) << summary(unsynced);
    const Exploration synced = kivcrash::explore({create, write, sync_data, rename}, promise);
    EXPECT_EQ(synced.violations, 0u) << summary(synced);

    // A call that returns done promises the new file: the rename must have
    // been made durable by a sync of its folder before the log ends.
    kivcrash::Promise done = promise;
    done.done = true;
    const Exploration returned = kivcrash::explore({create, write, sync_data, rename}, done);
    EXPECT_GT(returned.violations, 0u) << summary(returned);
    Op sync_folder;
    sync_folder.kind = kivcrash::OpKind::fsync;
    sync_folder.inode = directory;
    sync_folder.is_directory = true;
    const Exploration durable =
        kivcrash::explore({create, write, sync_data, rename, sync_folder}, done);
    EXPECT_EQ(durable.violations, 0u) << summary(durable);
}

}  // namespace

// SPDX-License-Identifier: Zlib
// A batch of substitutions: every file patched and told in the order it
// was added, a file that fails or that its caller turns away left out
// without harm to the others, and no temporary file left behind; and the
// directory's own note of the entries a batch must sync.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch.h"
#include "internal_fixtures.h"
#include "kivfs/leftovers.h"
#include "kivsubst.h"
#include "kivtest/system.h"

namespace {

using kivsubst::Batch;
using kivsubst::BatchEvents;
using kivsubst::Substitution;
using kivtest::native;
namespace platform = kivsubst::platform;

// Writes down every event as "what:file", and the failures' reasons.
class Recorder final : public BatchEvents {
public:
    void not_scanned(std::size_t file, const Substitution& substitution, int code) override {
        told.push_back("not scanned:" + std::to_string(file) + " (" + std::to_string(code) + ")");
        reasons.push_back(substitution.failure().reason());
        errors.push_back(substitution.failure().error);
    }
    bool scanned(std::size_t file, Substitution&, platform::File&) override {
        told.push_back("scanned:" + std::to_string(file));
        if (on_scanned) {
            on_scanned(file);
        }
        return file != turned_away;
    }
    void failed(std::size_t file, const Substitution&, int code) override {
        told.push_back("failed:" + std::to_string(file) + " (" + std::to_string(code) + ")");
    }
    void patched(std::size_t file, const Substitution& substitution) override {
        told.push_back("patched:" + std::to_string(file) + " (" +
                       std::to_string(substitution.result()) + ")");
    }
    // A stop is asked from the `stop_at`th time the batch asks on.
    bool stop_asked() override { return ++asked >= stop_at; }

    std::function<void(std::size_t)> on_scanned;  // run as each file is told scanned
    std::size_t turned_away = SIZE_MAX;
    unsigned stop_at = UINT_MAX;
    unsigned asked = 0;
    std::vector<std::string> told;
    std::vector<std::string> reasons;
    std::vector<int> errors;
};

class BatchOfFiles : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("tmp"));
        tmp_.emplace("TMP", path("tmp"));
    }

    // Adds the file `name` of the work directory to the batch, with the
    // run's store of temporary files where one is given.
    void add(const std::string& name) { add(name, batch_); }
    void add(const std::string& name, Batch& batch, kivsubst::TemporaryStore* store = nullptr) {
        kivsubst::FileAt file;
        file.directory = platform::Directory::open(native(dir() + "/"));
        file.name = native(name);
        file.shown = native(path(name));
        file.store = store;
        batch.add(std::move(file));
    }

    void run() { run(batch_); }
    void run(Batch& batch) {
        kivsubst::ByteScanners scanners({{pattern_, replacement_}}, {}, 4096);
        if (stop_scan_) {
            scanners.stop_when([] { return true; });
        }
        batch.run(scanners, events_);
    }

    bool tmp_is_empty() const { return std::filesystem::is_empty(path("tmp")); }
    // The names in TMP, sorted.
    std::vector<std::string> in_tmp() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path("tmp"))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::string pattern_ = "old";
    const std::string replacement_ = "newer";
    std::optional<kivtest::ScopedEnvironment> tmp_;
    Batch batch_;
    Recorder events_;
    bool stop_scan_ = false;  // the scanner's stop hook asks to stop after a block
};

TEST_F(BatchOfFiles, PatchesEveryFileAndTellsEachInTheOrderItWasAdded) {
    kivtest::write_file(path("a"), "old and old");
    kivtest::write_file(path("b"), "nothing here");
    kivtest::write_file(path("c"), "an old one");
    add("a");
    add("b");
    add("c");
    run();
    EXPECT_EQ(kivtest::read_file(path("a")), "newer and newer");
    EXPECT_EQ(kivtest::read_file(path("b")), "nothing here");
    EXPECT_EQ(kivtest::read_file(path("c")), "an newer one");
    EXPECT_EQ(events_.told,
              (std::vector<std::string>{"scanned:0", "scanned:1", "scanned:2", "patched:0 (0)",
                                        "patched:1 (1)", "patched:2 (0)"}));
    EXPECT_TRUE(tmp_is_empty());
}

TEST_F(BatchOfFiles, LeavesAFileItsCallerTurnsAwayUnchangedAndRemovesItsTemporaryFile) {
    kivtest::write_file(path("a"), "old");
    kivtest::write_file(path("b"), "old");
    add("a");
    add("b");
    events_.turned_away = 0;
    run();
    EXPECT_EQ(kivtest::read_file(path("a")), "old");
    EXPECT_EQ(kivtest::read_file(path("b")), "newer");
    EXPECT_EQ(events_.told,
              (std::vector<std::string>{"scanned:0", "scanned:1", "patched:1 (0)"}));
    EXPECT_TRUE(tmp_is_empty());
}

// A stop asked before the write-backs ends the batch with every file as it
// was and every temporary file gone, whether the batch asks (here before
// its first write-back, all files scanned and synced) or the scan stops.
TEST_F(BatchOfFiles, StopsBeforeItsWriteBacksWhenAskedAndLeavesNoTemporaryFile) {
    kivtest::write_file(path("a"), "old");
    kivtest::write_file(path("b"), std::string(10000, 'x') + "old");
    add("a");
    add("b");
    events_.stop_at = 3;  // before a, before b, before the write-backs
    run();
    EXPECT_EQ(kivtest::read_file(path("a")), "old");
    EXPECT_EQ(events_.told, (std::vector<std::string>{"scanned:0", "scanned:1"}));
    EXPECT_TRUE(tmp_is_empty());

    Batch stopped_in_scan;
    events_ = Recorder();
    stop_scan_ = true;
    add("b", stopped_in_scan);
    run(stopped_in_scan);
    EXPECT_EQ(kivtest::read_file(path("b")), std::string(10000, 'x') + "old");
    EXPECT_TRUE(events_.told.empty());
    EXPECT_TRUE(tmp_is_empty());
}

// The reason is the system's words for the error number taken when the
// open failed, not for whatever printing the library's line left behind.
TEST_F(BatchOfFiles, TellsAFileThatCannotBeOpenedWithItsErrorAndPatchesTheOthers) {
    kivtest::write_file(path("b"), "old");
    add("missing");
    add("b");
    run();
    EXPECT_EQ(kivtest::read_file(path("b")), "newer");
    EXPECT_EQ(events_.told, (std::vector<std::string>{
                                "not scanned:0 (" + std::to_string(KIVSUBST_CANNOT_OPEN) + ")",
                                "scanned:1", "patched:1 (0)"}));
    ASSERT_EQ(events_.errors.size(), 1u);
    EXPECT_NE(events_.errors[0], 0);
    EXPECT_EQ(events_.reasons[0], kivsubst::platform::describe(events_.errors[0]));
    EXPECT_TRUE(tmp_is_empty());
}

// A run's later batches write their results over the temporary files that
// its earlier ones are done with, rather than making and deleting files:
// the spares stay in TMP, unmarked for a killed run's next call to take,
// until the store goes; a file too large to keep as a spare goes at once.
TEST_F(BatchOfFiles, WritesALaterBatchsResultsOverTheSparesOfAnEarlierOne) {
    if (!platform::directories_are_held_open) {
        GTEST_SKIP() << "a run keeps spare temporary files only where directories are held open";
    }
    const std::string large(kivsubst::TemporaryStore::largest_spare, 'x');
    kivtest::write_file(path("a"), "old " + std::string(100, 'a'));
    kivtest::write_file(path("b"), large + "old");
    kivtest::write_file(path("c"), "an old one");
    kivtest::write_file(path("d"), "old");
    {
        kivsubst::TemporaryStore store;
        Batch first;
        add("a", first, &store);
        add("b", first, &store);
        run(first);
        const std::vector<std::string> spares = in_tmp();
        ASSERT_EQ(spares.size(), 1u) << "the large file's temporary file was kept";
        EXPECT_EQ(std::filesystem::status(path("tmp/" + spares[0])).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << "a spare kept the mark of a result";

        Batch second;
        add("c", second, &store);
        add("d", second, &store);
        run(second);
        EXPECT_EQ(kivtest::read_file(path("c")), "an newer one");
        EXPECT_EQ(kivtest::read_file(path("d")), "newer");
        EXPECT_EQ(in_tmp().size(), 2u) << "the second batch made one file and reused the spare";
        EXPECT_TRUE(std::find(in_tmp().begin(), in_tmp().end(), spares[0]) != in_tmp().end());
    }
    EXPECT_EQ(kivtest::read_file(path("a")), "newer " + std::string(100, 'a'));
    EXPECT_EQ(kivtest::read_file(path("b")), large + "newer");
    EXPECT_TRUE(tmp_is_empty()) << "the spares outlived their store";
}

// A spare stays locked while its run holds it: another call's settling of
// TMP meanwhile takes none of them, and the next batch still writes its
// results over them.
TEST_F(BatchOfFiles, KeepsItsSparesFromAnotherCallsSettling) {
    if (!platform::directories_are_held_open) {
        GTEST_SKIP() << "a run keeps spare temporary files only where directories are held open";
    }
    kivtest::write_file(path("a"), "old");
    kivtest::write_file(path("b"), "old");
    kivsubst::TemporaryStore store;
    Batch first;
    add("a", first, &store);
    run(first);
    const std::vector<std::string> spares = in_tmp();
    ASSERT_EQ(spares.size(), 1u);
    {
        platform::Directory tmp = platform::Directory::open(native(path("tmp")));
        kivfs::settle_leftovers({tmp.handle(), kivsubst::Path()});
    }
    EXPECT_EQ(in_tmp(), spares) << "another call's settling took a spare";
    Batch second;
    add("b", second, &store);
    run(second);
    EXPECT_EQ(kivtest::read_file(path("b")), "newer");
    EXPECT_EQ(in_tmp(), spares);
}

// A result written over a longer spare holds the result alone: kept after a
// write-back that failed, it is exactly the file's new content.
TEST_F(BatchOfFiles, KeepsAResultWrittenOverALongerSpareWithoutTheSparesOldTail) {
    if (!platform::directories_are_held_open) {
        GTEST_SKIP() << "a run keeps spare temporary files only where directories are held open";
    }
    kivtest::write_file(path("long"), "old " + std::string(5000, 'l'));
    kivtest::write_file(path("short"), "old");
    {
        const kivtest::UnwritableFile probe(path("short"));
        if (!probe.ok()) {
            GTEST_SKIP() << "a file cannot be made unwritable here: " << probe.error();
        }
    }
    kivsubst::TemporaryStore store;
    Batch first;
    add("long", first, &store);
    run(first);
    Batch second;
    add("short", second, &store);
    std::optional<kivtest::UnwritableFile> unwritable;
    events_.on_scanned = [&](std::size_t) { unwritable.emplace(path("short")); };
    run(second);
    ASSERT_TRUE(unwritable && unwritable->ok());
    EXPECT_EQ(events_.told.back(), "failed:0 (" + std::to_string(KIVSUBST_COPY_ERROR) + ")");
    const std::vector<std::string> kept = in_tmp();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kivtest::read_file(path("tmp/" + kept[0])), "newer");
    unwritable.reset();
    EXPECT_EQ(kivtest::read_file(path("short")), "old");
}

class DirectoryEntries : public kivtest::WorkDirTest {};

TEST_F(DirectoryEntries, AreNotedAsUnsyncedFromACreationOrRemovalUntilTheDirectoryIsSynced) {
    platform::Directory directory = platform::Directory::open(native(dir() + "/"));
    EXPECT_FALSE(directory.has_unsynced_entries());
    platform::Creation outcome = platform::Creation::failed;
    platform::File created = directory.create_new(native("new"), outcome);
    ASSERT_TRUE(created.is_open());
    EXPECT_TRUE(directory.has_unsynced_entries());
    platform::Directory moved = std::move(directory);
    EXPECT_TRUE(moved.has_unsynced_entries()) << "the note went with the move";
    ASSERT_TRUE(moved.sync_entry(created));
    EXPECT_FALSE(moved.has_unsynced_entries());
    created.close();
    ASSERT_TRUE(moved.remove(native("new")));
    EXPECT_TRUE(moved.has_unsynced_entries());
}

}  // namespace

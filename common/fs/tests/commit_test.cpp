// SPDX-License-Identifier: Zlib
// A commit's phases for a set of changes, some of which fail at one step:
// every change staged durably before any is put in place, a failure that
// takes its change out of every later step while the others go on, and a
// shared sync that fails handing each change its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kivfs/commit.h"

namespace {

using kivfs::Change;
using kivfs::SyncSet;

// A handle that no sync accepts: a shared sync that holds it fails.
#ifdef _WIN32
const kivfs::NativeHandle no_file = reinterpret_cast<kivfs::NativeHandle>(std::intptr_t{-1});
#else
const kivfs::NativeHandle no_file = -1;
#endif

// The steps that a failing one of them fails: 7, as a library's failure.
enum Fails : unsigned { none = 0, staged_alone = 1, placing = 2, placed_alone = 4 };

// A change that writes down each step taken as "step:name", and its end as
// "gone:name"; `unsyncable` puts a handle no sync accepts into its sets.
class Recorded final : public Change {
public:
    Recorded(std::vector<std::string>& log, std::string name, unsigned fails, bool unsyncable)
        : log_(log), name_(std::move(name)), fails_(fails), unsyncable_(unsyncable) {}
    ~Recorded() override { note("gone"); }

    void add_staged(SyncSet& set) override { add(set); }
    void add_directories(SyncSet&) override {}
    int make_staged_durable() override { return step("staged alone", staged_alone); }
    int put_in_place() override { return step("placed", placing); }
    void add_placed(SyncSet& set) override { add(set); }
    int make_placed_durable(bool set_synced) override {
        return set_synced ? 0 : step("placed alone", placed_alone);
    }
    void remove_staged() override { note("removed"); }

    const std::string& name() const { return name_; }

private:
    void note(const char* what) { log_.push_back(std::string(what) + ":" + name_); }
    int step(const char* what, Fails failing) {
        note(what);
        return (fails_ & failing) != 0 ? 7 : 0;
    }
    void add(SyncSet& set) {
        if (unsyncable_) {
            set.files.push_back({no_file, false});
        }
    }

    std::vector<std::string>& log_;
    const std::string name_;
    unsigned fails_;
    bool unsyncable_;
};

class Commit : public ::testing::Test {
protected:
    class Told final : public kivfs::CommitEvents {
    public:
        Told(std::vector<std::string>& log, bool stop) : log_(log), stop_(stop) {}
        void failed(Change& change, int code) override {
            log_.push_back("failed " + std::to_string(code) + ":" + name(change));
        }
        void done(Change& change) override { log_.push_back("done:" + name(change)); }
        bool stop_asked() override { return stop_; }

    private:
        static std::string name(Change& change) { return static_cast<Recorded&>(change).name(); }
        std::vector<std::string>& log_;
        bool stop_;
    };

    // Commits the changes a, b, c, of which `failing` fails at `fails`.
    void run(const std::string& failing, unsigned fails, bool unsyncable = false,
             bool stop = false) {
        kivfs::Commit commit;
        for (const char* name : {"a", "b", "c"}) {
            commit.add(std::make_unique<Recorded>(log, name, name == failing ? fails : none,
                                                  unsyncable));
        }
        Told told(log, stop);
        commit.run(told);
    }

    std::vector<std::string> log;
};

TEST_F(Commit, TakesAChangeThatCannotBePutInPlaceOutOfEveryLaterStepAndGoesOnWithTheOthers) {
    run("b", placing);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "placed:a", "placed:b", "failed 7:b", "placed:c", "removed:a", "done:a",
                       "removed:c", "done:c", "gone:a", "gone:b", "gone:c"}));
}

TEST_F(Commit, SyncsEachStagedChangeAloneWhereTheSharedSyncFailedAndDropsOneThatFails) {
    run("b", staged_alone, true);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "staged alone:a", "staged alone:b", "failed 7:b", "staged alone:c",
                       "gone:b", "placed:a", "placed:c", "placed alone:a", "removed:a", "done:a",
                       "placed alone:c", "removed:c", "done:c", "gone:a", "gone:c"}));
}

TEST_F(Commit, KeepsWhatAChangeStagedWhereWhatItPlacedCannotBeMadeDurable) {
    run("a", placed_alone, true);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "staged alone:a", "staged alone:b", "staged alone:c", "placed:a",
                       "placed:b", "placed:c", "placed alone:a", "failed 7:a", "placed alone:b",
                       "removed:b", "done:b", "placed alone:c", "removed:c", "done:c", "gone:a",
                       "gone:b", "gone:c"}));
}

TEST_F(Commit, DropsEveryChangeBeforeAnyIsPutInPlaceWhenAStopIsAsked) {
    run("", none, false, true);
    EXPECT_EQ(log, (std::vector<std::string>{"gone:a", "gone:b", "gone:c"}));
}

}  // namespace

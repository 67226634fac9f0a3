/* SPDX-License-Identifier: Zlib */
// A set of changes of name or content put in place together: each change's
// new content staged beside its target, all of it made durable together,
// each change put in place in the order given, what was placed made durable
// together with the folders, then what was staged removed and that made
// durable. The one order of these steps for both libraries: kivsubst's
// batch is a commit of many write-backs, KivInstallFile a commit of one
// rename.
#ifndef KIVFS_COMMIT_H
#define KIVFS_COMMIT_H

#include <cstddef>
#include <memory>
#include <vector>

#include "kivfs/group_sync.h"

namespace kivfs {

// What one of a commit's syncs makes durable together.
struct SyncSet {
    std::vector<GroupFile> files;
    std::vector<GroupDirectory> directories;

    // sync_group over the set; an empty set has nothing to wait for.
    bool sync() const;
};

// One change of a commit, staged by its owner before the commit runs. The
// steps that differ between kinds of change are its own; each step that
// fails returns the library's result code (0 for success) and has left its
// staged file as its failure needs: removed, or kept where it holds the
// only durable copy of the new content.
class Change {
public:
    virtual ~Change() = default;

    // Adds the staged file, and what its owner keeps with it, to `set`.
    virtual void add_staged(SyncSet& set) = 0;
    // Adds the directories whose entries it created or removed so far.
    virtual void add_directories(SyncSet& set) = 0;
    // Makes the staged file durable on its own, where the set's sync failed.
    virtual int make_staged_durable() = 0;
    // Puts the new content in place: a rename, or a write-back.
    virtual int put_in_place() = 0;
    // Adds what its placing left to sync to `set`.
    virtual void add_placed(SyncSet& set) = 0;
    // Makes what it placed durable: nothing more where the set holding it
    // was synced (`set_synced`), else on its own; a placing the set cannot
    // cover is made durable here whatever the set did.
    virtual int make_placed_durable(bool set_synced) = 0;
    // Removes what its staging left, once what it placed is durable.
    virtual void remove_staged() = 0;
};

// What a commit tells its owner about each change as it goes.
class CommitEvents {
public:
    // A step of `change` failed with `code`; the change takes no further step.
    virtual void failed(Change& change, int code) = 0;
    // The change is in place, durably, and what it staged is gone.
    virtual void done(Change& change) = 0;
    // Asked once, after the staged files are durable and before anything
    // is put in place: true ends the commit there, every change dropped.
    virtual bool stop_asked() { return false; }

protected:
    ~CommitEvents() = default;
};

class Commit {
public:
    Commit() = default;
    Commit(const Commit&) = delete;
    Commit& operator=(const Commit&) = delete;

    // Adds a staged change; one whose staging failed (`failed`) is held
    // until the staged files are durable, for its directories, then
    // dropped with the other failures.
    void add(std::unique_ptr<Change> change, bool failed = false);
    bool empty() const { return entries_.empty(); }

    // Takes every step for every change, in order. A commit runs once.
    void run(CommitEvents& events);

private:
    struct Entry {
        std::unique_ptr<Change> change;
        bool failed = false;  // told failed: it takes no further step
    };

    void make_staged_durable(CommitEvents& events);
    void drop_failed();
    bool put_all_in_place(CommitEvents& events);
    void remove_staged(CommitEvents& events, bool placed_synced);
    // Every change's directories, failed or not, added to `set`.
    void add_directories(SyncSet& set);

    std::vector<Entry> entries_;
};

}  // namespace kivfs

#endif

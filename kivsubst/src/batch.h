/* SPDX-License-Identifier: Zlib */
// Many substitutions made durable together: the one way to patch several
// files with shared syncs. A batch owns its files' substitutions, and with
// them the directories whose entries they change, and takes its steps in
// the order that keeps every file whole across a power cut.
#ifndef KIVSUBST_BATCH_H
#define KIVSUBST_BATCH_H

#include <cstddef>
#include <memory>
#include <vector>

#include "kivfs/commit.h"
#include "platform.h"
#include "scanners.h"
#include "substitute.h"

namespace kivsubst {

// What a batch tells its caller about each file as it goes, the file named
// by its place in the order the files were added. Each failure has printed
// the library's line already; the substitution's failure() says why.
class BatchEvents {
public:
    // The file could not be read into its temporary file (prepare failed).
    virtual void not_scanned(std::size_t file, const Substitution& substitution, int code) = 0;
    // The file was read and its result is in its temporary file, not yet
    // durable. The caller may keep a copy of the file as it was read (a
    // backup) and hand it over in `companion`, which the batch then makes
    // durable with the temporary files. False leaves the file out of the
    // batch, its temporary file removed; the caller has told why.
    virtual bool scanned(std::size_t file, Substitution& substitution,
                         platform::File& companion) = 0;
    // A later step failed: the temporary file or its companion could not
    // be made durable, or the file could not be written back.
    virtual void failed(std::size_t file, const Substitution& substitution, int code) = 0;
    // The file holds its new content and its times, durably, and its
    // temporary file is gone.
    virtual void patched(std::size_t file, const Substitution& substitution) = 0;
    // Asked before each file's scan and once more before the first
    // write-back: true ends the batch there, every file as it was, no
    // failure told and every temporary file removed. A scan that the
    // scanner's own stop hook ends does the same. Once the write-backs have
    // begun the batch runs to its end. A caller that never stops a batch
    // need not say so.
    virtual bool stop_asked() { return false; }

protected:
    ~BatchEvents() = default;
};

// The steps, for all files at once, are a commit's (kivfs::Commit), each
// file's substitution one of its changes: every file is read into its
// temporary file (and its backup made), then all of them are made durable
// together, with the directories where they were made; every file is
// written back and given its times, then all are made durable together;
// then the temporary files go (or back to the run's TemporaryStore, as
// spares), and one more sync of their directories makes that durable.
// Each file still passes from its old content, through a durable temporary
// file holding the new, to its new content. A sync of the whole lot that
// fails is no loss yet: each file then syncs on its own, or fails alone,
// its temporary file kept where it holds the only durable result.
class Batch {
public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Adds a file; the first one added is file 0 in the events.
    void add(FileAt file);
    bool empty() const { return members_.empty(); }

    // Patches every file added, each scanned with the scanner `scanners`
    // gives for it, telling `events` how each went. A batch runs once.
    void run(Scanners& scanners, BatchEvents& events);

private:
    class Member;  // a file's substitution as a change of the commit
    class Events;  // the commit's events told as the batch's

    bool scan_all(Scanners& scanners, BatchEvents& events);

    std::vector<std::unique_ptr<Member>> members_;
    kivfs::Commit commit_;
};

}  // namespace kivsubst

#endif

/* SPDX-License-Identifier: Zlib */
// Where a front end's run over many files makes their temporary files when
// TMP names one directory for all of them.
#ifndef KIVSUBST_TEMPORARY_STORE_H
#define KIVSUBST_TEMPORARY_STORE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "platform.h"

namespace kivsubst {

// TMP's directory, opened once for the run and settled once (what killed
// calls left there goes first), and the temporary files that the run's
// batches are done with, kept open and locked as spares: a later file of
// the run writes its result over a spare instead of creating a file and
// deleting it again. Making and deleting a file costs a file system more
// than the few kilobytes of a small file's result do (ext4 without a
// journal, for one, walks past every inode deleted in the last seconds to
// make a new one), so a run over thousands of small files makes about a
// batch's worth. Only small files are kept, so that spares never hold more
// than a little room in TMP; the rest are deleted as before. The spares
// are deleted, and TMP synced once, when the store goes: a power cut
// after the run brings none of them back, and one during it leaves them to
// the next call's settling, as a killed run leaves its temporary files.
//
// Where directories are not held open (Windows), or TMP names no
// directory, the store is closed and each file's temporary file is made as
// the export makes it.
class TemporaryStore {
public:
    TemporaryStore();
    ~TemporaryStore();
    TemporaryStore(const TemporaryStore&) = delete;
    TemporaryStore& operator=(const TemporaryStore&) = delete;

    // TMP's directory, held for the run; null when the store is closed.
    platform::Directory* directory() { return directory_.is_open() ? &directory_ : nullptr; }

    // A temporary file that a file of the run is done with.
    struct Spare {
        Path name;
        platform::File file;
    };
    bool has_spare() const { return !spares_.empty(); }
    // A spare, its position at its start; the caller writes its result
    // over the old content and cuts the file to the result's length.
    std::optional<Spare> take();
    // Keeps `spare`, whose content is no longer needed, for a later file,
    // if it is small and its position can be reset; else deletes it.
    void give_back(Spare spare);

    // The largest temporary file kept as a spare.
    static constexpr std::int64_t largest_spare = std::int64_t{64} << 10;

private:
    platform::Directory directory_;
    std::vector<Spare> spares_;
};

}  // namespace kivsubst

#endif

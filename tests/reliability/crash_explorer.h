/* SPDX-License-Identifier: Zlib */
// The power-loss explorer: replays an operation log through the crash model
// (crash_model.h) and, at every point of the log, checks what a power cut
// there may leave against the promise that a call never loses the file.
#ifndef KIV_CRASH_EXPLORER_H
#define KIV_CRASH_EXPLORER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crash_model.h"
#include "oplog.h"

namespace kivcrash {

// A file that the call patches: where it is, the inode it had, and the
// content it must hold whole after a cut, its old or its new one, unless a
// temporary file holds the new one.
struct WatchedFile {
    InodeId directory;
    std::string name;
    InodeId inode;
    std::string old_content;
    std::string new_content;
};

// The promise, checked in every crash state:
//   - each watched file, at its name, holds its old or its new content
//     whole, or a file whose name starts with `temporary_prefix`, with an
//     entry that persisted, holds its new content whole;
// and at every removal (or rename away) of such a temporary file in the
// log:
//   - each watched file is durable already, whole old or whole new: its
//     entry and data have nothing pending;
// and, where the call said it was done (`done`), in every crash state after
// the log's last operation, when the call has returned:
//   - each watched file, at its name, holds its new content whole.
struct Promise {
    std::vector<WatchedFile> files;
    std::string temporary_prefix = "KIV";
    bool done = false;
};

struct Limits {
    // Up to this many crash states at a point, all are checked.
    std::uint64_t exhaustive_up_to = 65536;
    // Beyond that, this many random ones besides the prefixes, the
    // all-but-one and the only-one states.
    std::size_t random_states = 2048;
    std::uint64_t seed = 20240611;
};

struct Exploration {
    std::size_t points = 0;            // points of the log checked
    std::size_t exhaustive_points = 0; // of which all crash states were checked
    std::uint64_t states = 0;          // distinct crash states checked, over all points
    std::uint64_t violations = 0;      // crash states and removals that broke the promise
    std::vector<std::string> examples; // the first few violations, described
};

// Checks the crash states at the start of the log and after each operation
// that can change what a cut leaves (an open or a close changes nothing, so
// the point after it has the same states as the one before).
Exploration explore(const std::vector<Op>& log, const Promise& promise, const Limits& limits = {});

// What one crash state leaves on disk: the entries of every directory that
// the model knows, and the image of every file that an entry names.
struct LeftOnDisk {
    std::map<InodeId, Entries> directories;
    std::map<InodeId, Image> files;
};

// Hands the crash states of `model`, as it stands, to `visit`, the same
// states that explore() judges at a point: all of them up to
// `limits.exhaustive_up_to`, else the bounded sample drawn with `seed`.
// Gives back how many were handed over and whether that was all of them.
struct Visited {
    std::uint64_t states = 0;
    bool exhaustive = false;
};
Visited each_crash_state(const Model& model, const Limits& limits, std::uint64_t seed,
                         const std::function<void(const LeftOnDisk&)>& visit);

// Whether the sync at `index` makes nothing durable that the next sync in
// the log does not, with no change in between: taking it out of the log
// leaves every crash state as it was.
bool is_covered_sync(const std::vector<Op>& log, std::size_t index);

}  // namespace kivcrash

#endif

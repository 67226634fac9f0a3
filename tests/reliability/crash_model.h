/* SPDX-License-Identifier: Zlib */
// What a power cut may leave on disk, replayed from an operation log.
//
// A killed process loses nothing that it handed to the kernel; a power cut
// loses whatever had not been made durable, partly and in any order between
// the syncs. This model says exactly what may be left:
//
// Files. Each inode has a durable image (a length and the bytes it holds)
// and the units of change pending since its last fsync or fdatasync, in the
// order they were made. A unit is either
//   - data: the bytes that one write put into one 4 KiB page (a write that
//     spans pages is one unit per page), or
//   - a length: the new length after a write that ended past the end (one
//     unit after the write's data), after an fallocate that grew the file,
//     or set by an ftruncate or an open with O_TRUNC. The last two cut: the
//     bytes from the new length on are lost.
// At a cut, any subset of an inode's pending units may have persisted,
// applied to its durable image in the order they were made. A byte holds a
// value only where the durable image or a persisted data unit put one; any
// other byte within the length (a length that persisted without the data
// it covers, bytes once cut off) is garbage, which equals no content.
// An fsync or fdatasync of a file applies all its pending units to its
// durable image.
//
// Directories. Each directory has durable entries (name to inode) and the
// entry operations pending since its last fsync: a creation (open with
// O_CREAT, mkdir), a removal (unlink) or a rename within it (one operation).
// A rename from one directory to another is a removal in the first and a
// creation in the second. At a cut, a prefix of each directory's pending
// operations has persisted, independently of the other directories. An
// fsync of a directory makes its pending operations durable; an fsync of a
// file does not make its directory entry durable.
//
// syncfs makes every file and directory on the device of the descriptor it
// is given durable; sync makes everything durable.
//
// Opens (without O_TRUNC) and closes change nothing, nor does an fallocate
// with FALLOC_FL_KEEP_SIZE. Files and directories that existed before the
// log begins are durable, with the content and entries they are given;
// others start empty.
#ifndef KIV_CRASH_MODEL_H
#define KIV_CRASH_MODEL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "oplog.h"

namespace kivcrash {

constexpr std::int64_t page_size = 4096;

struct Unit {
    enum class Kind { data, length };
    Kind kind = Kind::data;
    std::int64_t offset = 0;  // data: where its bytes go
    std::string bytes;        // data
    std::int64_t length = 0;  // length: the new length
    bool cuts = false;        // length: the bytes from it on are lost
    std::size_t sequence = 0; // the order of all units and entry operations
};

// The bytes of a file as a cut may leave them: `held` has a 1 for every
// byte that holds a value and a 0 for garbage.
struct Image {
    std::int64_t length = 0;
    std::string bytes;
    std::string held;

    void apply(const Unit& unit);
    // Whether [from, to) holds values, all equal to `expected`'s bytes there.
    bool holds(std::int64_t from, std::int64_t to, const std::string& expected) const;
};

struct FileState {
    Image durable;
    std::vector<Unit> pending;
    std::int64_t length_now = 0;  // the length that the process sees
};

struct EntryOp {
    enum class Kind { add, remove, move };
    Kind kind = Kind::add;
    std::string name;      // added or removed; a move's source
    std::string to_name;   // a move's target
    InodeId inode;
    std::size_t sequence = 0;
};

using Entries = std::map<std::string, InodeId>;

struct DirectoryState {
    Entries durable;
    std::vector<EntryOp> pending;
};

void apply(Entries& entries, const EntryOp& op);

class Model {
public:
    // A file that existed before the log began: durable, entry and content.
    void add_existing_file(const InodeId& directory, const std::string& name, const InodeId& file,
                           const std::string& content);
    // Replays one operation. Throws std::runtime_error for one that the
    // model cannot represent (an fallocate that punches or zeroes a range).
    void apply(const Op& op);
    // Whether `op` can change what a cut leaves (opens and closes cannot,
    // unless they truncate).
    static bool changes_anything(const Op& op);

    const std::map<InodeId, FileState>& files() const { return files_; }
    const std::map<InodeId, DirectoryState>& directories() const { return directories_; }

private:
    void write(const InodeId& inode, std::int64_t offset, const std::string& data);
    void set_length(const InodeId& inode, std::int64_t length, bool cuts);
    void make_file_durable(FileState& file);
    void make_directory_durable(DirectoryState& directory);
    void make_device_durable(const InodeId& any, bool every_device);
    void add_entry_op(const InodeId& directory, EntryOp op);

    std::map<InodeId, FileState> files_;
    std::map<InodeId, DirectoryState> directories_;
    std::size_t next_sequence_ = 0;
};

}  // namespace kivcrash

#endif

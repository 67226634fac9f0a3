/* SPDX-License-Identifier: Zlib */
// The operation log that the killpoint library records (record.h), read
// back as a list of operations for the power-loss explorer.
#ifndef KIV_OPLOG_H
#define KIV_OPLOG_H

#include <cstdint>
#include <string>
#include <vector>

#include "kivcommon/types.h"

namespace kivcrash {

// A file or directory, by device (volume) and inode number (index).
using InodeId = kivcommon::FileIdentity;

enum class OpKind {
    open, create, mkdir, write, fallocate, ftruncate, fsync, fdatasync, syncfs, sync, unlink,
    rename, close,
    times,  // a file's times set through its descriptor (no content changes)
};

struct Op {
    OpKind kind = OpKind::open;
    InodeId inode;             // the file or directory acted on
    bool is_directory = false;
    InodeId directory;         // an entry's directory (a rename's source)
    InodeId to_directory;      // a rename's target directory
    std::string name;          // an entry's name (a rename's source name)
    std::string to_name;       // a rename's target name
    int flags = 0;             // open: its flags; fallocate: its mode
    std::int64_t offset = 0;   // write, fallocate
    std::int64_t length = 0;   // ftruncate, fallocate
    std::string data;          // write: the bytes written
    std::string call;          // write: write, pwrite or copy_file_range

    // One line for messages: the kind, the inode and what it did.
    std::string describe() const;
};

bool is_sync(const Op& op);

// Reads the log at `path`. A record cut short ends the log. Throws
// std::runtime_error if the file cannot be read, a record is malformed, or
// the recorder could not take down a copy's data.
std::vector<Op> read_oplog(const std::string& path);

}  // namespace kivcrash

#endif

/* SPDX-License-Identifier: Zlib */
// Walking a directory tree for the front ends' -r: names in a stable
// (sorted) order, and no link to a directory ever followed, even one that
// someone puts in place of a directory while the walk runs.
#ifndef KIVCLI_WALK_H
#define KIVCLI_WALK_H

#include <cstdint>
#include <functional>
#include <string>

namespace kivcli {

enum class EntryKind {
    directory,
    file,               // a regular file
    link_to_file,       // a symbolic link to a regular file
    link_to_directory,  // a symbolic link to a directory (never followed)
    other_link,         // a symbolic link to nothing, or to something else
    other,              // a FIFO, a socket, a device
};

struct Entry {
    std::string path;  // the root's path joined with the names below it
    std::string name;  // the last of those names
    EntryKind kind = EntryKind::other;
    unsigned mode = 0;      // the permission bits of what the entry is (POSIX)
    std::int64_t size = 0;  // the size of what the entry is (not of what a link points to)
};

struct Visitor {
    // Told of a directory before its entries; false leaves it out.
    std::function<bool(const Entry&)> enter;
    // Told of a directory after its entries.
    std::function<void(const Entry&)> leave;
    // Told of every other entry.
    std::function<void(const Entry&)> visit;
    // Told of a directory that cannot be read, with the system's reason.
    std::function<void(const std::string& path, const std::string& reason)> problem;
};

// Walks the directory `root` (a link given as the root is followed, as one
// named on the command line is), telling `visitor` of what it finds, each
// directory's names in sorted byte order. The root itself is not entered
// through `enter`.
void walk(const std::string& root, const Visitor& visitor);

// A name in a directory, joined as the walk joins them.
std::string join_path(const std::string& directory, const std::string& name);

}  // namespace kivcli

#endif

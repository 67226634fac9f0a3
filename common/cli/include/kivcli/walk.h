/* SPDX-License-Identifier: Zlib */
// Walking a directory tree for the front ends' -r: names in a stable
// (sorted) order, each directory opened relative to its parent and never
// through a link, even one that someone puts in place of a directory while
// the walk runs. The walk keeps no stack of its own calls: a tree of any
// depth is walked in a loop, down to a limit, and a directory that turns
// out to be one of its own ancestors (a bind mount of it below itself) is
// not entered again. Names in the libraries' own hidden formats, what
// other calls are writing, are passed over.
#ifndef KIVCLI_WALK_H
#define KIVCLI_WALK_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "kivcli/folder.h"

namespace kivcli {

// How many levels below its root a walk goes.
constexpr std::size_t deepest_level = 1024;

struct Entry {
    std::shared_ptr<Folder> folder;  // the directory it is in, open while the visitor is told
    std::string name;                // its name there
    std::string shown;               // the root's name joined with the names below it
    Status status;                   // of the entry itself, not of what a link leads to
};

struct Visitor {
    // Told of a directory before its entries; false leaves it out.
    std::function<bool(const Entry&)> enter;
    // Told of a directory after its entries (also when it could not be
    // opened, which `problem` told first).
    std::function<void(const Entry&)> leave;
    // Told of every other entry: files, links, anything else.
    std::function<void(const Entry&)> visit;
    // Told of a directory that cannot be read or entered, with the reason.
    std::function<void(const std::string& shown, const std::string& reason)> problem;
};

// Walks the directory `root`, telling `visitor` of what it finds, each
// directory's names in sorted byte order. The root itself is not told of
// through `enter` and `leave`. A directory is released (its handle closed)
// once the walk has left it. With Links::follow every link is followed,
// and entries are what their links lead to (a link to nothing is a
// problem); a directory reached twice through links on one path is still
// not entered below itself.
void walk(const std::shared_ptr<Folder>& root, const Visitor& visitor,
          Links links = Links::refuse);

}  // namespace kivcli

#endif

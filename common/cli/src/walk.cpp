// SPDX-License-Identifier: Zlib
// The walk, the same on every system: the folder layer does what differs.
#include "kivcli/walk.h"

#include <algorithm>
#include <vector>

#include "kivfs/hidden_names.h"
#if defined(_WIN32)
#include "kivfs/wtf8.h"
#endif

namespace kivcli {
namespace {

// A directory the walk is in: its names, the next one to look at, and how
// the walk came there.
struct Level {
    std::shared_ptr<Folder> folder;
    std::vector<std::string> names;
    std::size_t next = 0;
    Entry entry;  // the directory's own entry in its parent (empty for the root)
};

// Lists a directory, telling of a failure to read it to its end; the names
// read are walked all the same.
void list(Level& level, const std::string& shown, const Visitor& visitor) {
    SystemError error = 0;
    if (!level.folder->names(level.names, error)) {
        visitor.problem(shown, describe(error));
    }
}

// A name in the libraries' own hidden formats is a file or folder that
// another call is writing or has set aside (a staged install, a
// transaction's member or the folder it makes): never a walk's to patch or
// copy. kivsubst's numbered temporary name looks like anyone's file and is
// walked as one.
bool is_another_calls(const std::string& name) {
#if defined(_WIN32)
    const auto hidden = kivfs::parse_hidden_name(kivfs::wide_from_wtf8(name));
#else
    const auto hidden = kivfs::parse_hidden_name(name);
#endif
    return hidden.has_value() && !hidden->is(kivfs::numbered_kind);
}

bool is_ancestor(const std::vector<Level>& levels, const FileIdentity& identity) {
    return std::any_of(levels.begin(), levels.end(), [&](const Level& level) {
        return level.folder->status().identity == identity;
    });
}

}  // namespace

void walk(const std::shared_ptr<Folder>& root, const Visitor& visitor, Links links) {
    std::vector<Level> levels(1);
    levels.back().folder = root;
    list(levels.back(), root->shown(), visitor);
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.names.size()) {
            Level done = std::move(level);
            levels.pop_back();
            if (!levels.empty()) {
                done.folder->release();
                visitor.leave(done.entry);
            }
            continue;
        }
        Entry entry;
        entry.folder = level.folder;
        entry.name = level.names[level.next++];
        if (is_another_calls(entry.name)) {
            continue;
        }
        entry.shown = level.folder->shown(entry.name);
        SystemError error = 0;
        if (!level.folder->status_of(entry.name, links, entry.status, error)) {
            if (error != not_found_error()) {  // else gone since it was listed
                visitor.problem(entry.shown, describe(error));
            }
            continue;
        }
        if (!entry.status.is_directory()) {
            visitor.visit(entry);
            continue;
        }
        if (levels.size() > deepest_level) {
            visitor.problem(entry.shown, "deeper than " + std::to_string(deepest_level) +
                                             " levels; not entered");
            continue;
        }
        if (is_ancestor(levels, entry.status.identity)) {
            visitor.problem(entry.shown, "it is one of the directories it is in; not entered");
            continue;
        }
        if (!visitor.enter(entry)) {
            continue;
        }
        std::shared_ptr<Folder> child = Folder::open_below(level.folder, entry.name, error, links);
        if (child != nullptr && child->status().identity != entry.status.identity) {
            child = nullptr;
            error = replaced_meanwhile;
        }
        if (child == nullptr) {
            visitor.problem(entry.shown, describe(error));
            visitor.leave(entry);
            continue;
        }
        Level below;
        below.folder = std::move(child);
        below.entry = std::move(entry);
        list(below, below.entry.shown, visitor);
        levels.push_back(std::move(below));
    }
}

}  // namespace kivcli

// SPDX-License-Identifier: Zlib
#include "tree.h"

#include <sys/stat.h>
#if defined(_WIN32)
#include <direct.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

#include "kivcli/quote.h"
#include "kivcli/walk.h"
#include "paths.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

using kivcli::quoted;

// A directory of the copy: made by this run (then nothing can be in it
// yet, and it is made writable for its owner until it is filled), or there
// before (merged into).
struct Made {
    std::string target;
    bool existed = false;
    unsigned mode = 0;  // the mode it gets once filled

    // Where the files found for it go: a directory this run made with no
    // write for group or others can hold nothing this run did not put there.
    Place place() const {
        return existed ? Place::merged : (mode & 022) == 0 ? Place::made_private : Place::made;
    }
};

// Makes the directory `target` for a source directory of `mode`, or takes
// the one that is there; false, with the failure told, when neither works.
bool make_directory(Copier& copier, const std::string& target, unsigned mode, Made& made) {
    made.target = target;
    made.mode = mode & ~umask_value() & 07777;
#if defined(_WIN32)
    const int result = ::_mkdir(target.c_str());
#else
    const int result = ::mkdir(target.c_str(), static_cast<mode_t>(made.mode | 0700));
#endif
    if (result == 0) {
        return true;
    }
    const int error = errno;
    struct stat own {};
    if (error == EEXIST && link_status(target, &own) == 0 && S_ISDIR(own.st_mode)) {
        made.existed = true;
        return true;
    }
    if (error == EEXIST) {
        return copier.fail("cannot overwrite non-directory " + quoted(target) +
                           " with a directory");
    }
    return copier.fail("cannot create directory " + quoted(target) + ": " + std::strerror(error));
}

// Gives a directory made by this run its final mode (it was made writable
// for its owner to be filled), and with -p the source's attributes.
bool finish_directory(Copier& copier, const Options& options, const std::string& source,
                      const Made& made) {
    bool done = true;
#if !defined(_WIN32)
    if (!made.existed && (made.mode & 0700) != 0700 &&
        ::chmod(made.target.c_str(), static_cast<mode_t>(made.mode)) != 0) {
        done = copier.fail("cannot set the mode of " + quoted(made.target) + ": " +
                           std::strerror(errno));
    }
#endif
    if (options.preserve.any()) {
        done = copier.preserve_directory(source, made.target) && done;
    }
    return done;
}

// Whether `target` lies in `source` or is it, by their resolved paths.
bool inside(const std::string& source, const std::string& target) {
    const std::string from = resolved(source);
    const std::string to = resolved(target);
    return !from.empty() && !to.empty() &&
           (to == from || (to.size() > from.size() && to.compare(0, from.size(), from) == 0 &&
                           is_separator(to[from.size()])));
}

}  // namespace

std::int64_t tree_bytes(const std::string& source) {
    std::int64_t total = 0;
    kivcli::Visitor visitor;
    visitor.enter = [](const kivcli::Entry&) { return true; };
    visitor.leave = [](const kivcli::Entry&) {};
    visitor.visit = [&](const kivcli::Entry& entry) {
        if (entry.kind == kivcli::EntryKind::file) {
            total += entry.size;
        }
    };
    visitor.problem = [](const std::string&, const std::string&) {};
    kivcli::walk(source, visitor);
    return total;
}

bool copy_tree(Copier& copier, const Options& options, const std::string& source,
               const std::string& target) {
    if (inside(source, target)) {
        return copier.fail("cannot copy a directory, " + quoted(source) + ", into itself, " +
                           quoted(target));
    }
    struct stat status {};
    if (::stat(source.c_str(), &status) != 0) {
        return copier.fail("cannot stat " + quoted(source) + ": " + std::strerror(errno));
    }
    std::vector<Made> made(1);
    if (!make_directory(copier, target, static_cast<unsigned>(status.st_mode), made.back())) {
        return false;
    }
    copier.tell(quoted(source) + " -> " + quoted(target));
    auto target_of = [&](const kivcli::Entry& entry) {
        return join(made.back().target, entry.name);
    };
    bool all = true;
    kivcli::Visitor visitor;
    visitor.enter = [&](const kivcli::Entry& entry) {
        Made child;
        if (!make_directory(copier, target_of(entry), entry.mode, child)) {
            all = false;
            return false;
        }
        copier.tell(quoted(entry.path) + " -> " + quoted(child.target));
        made.push_back(child);
        return true;
    };
    visitor.leave = [&](const kivcli::Entry& entry) {
        all = finish_directory(copier, options, entry.path, made.back()) && all;
        made.pop_back();
    };
    visitor.visit = [&](const kivcli::Entry& entry) {
        const std::string to = target_of(entry);
        switch (entry.kind) {
            case kivcli::EntryKind::file:
                all = copier.copy_found(entry.path, to, entry.size, made.back().place()) && all;
                break;
            case kivcli::EntryKind::link_to_file:
            case kivcli::EntryKind::link_to_directory:
            case kivcli::EntryKind::other_link:
                all = copier.copy_symbolic_link(entry.path, to, made.back().existed) && all;
                break;
            case kivcli::EntryKind::other:
            case kivcli::EntryKind::directory:
                copier.fail("skipping " + quoted(entry.path) +
                            ": not a regular file, directory or link");
                break;
        }
    };
    visitor.problem = [&](const std::string& path, const std::string& reason) {
        all = copier.fail("cannot read directory " + quoted(path) + ": " + reason);
    };
    kivcli::walk(source, visitor);
    return finish_directory(copier, options, source, made.front()) && all;
}

}  // namespace kivcopy_cli

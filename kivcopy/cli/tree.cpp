// SPDX-License-Identifier: Zlib
#include "tree.h"

#include <vector>

#include "kivcli/paths.h"
#include "kivcli/quote.h"
#include "kivcli/walk.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

using kivcli::describe;
using kivcli::quoted;

// A directory of the copy, held while it is filled: made by this run (for
// its owner alone until it is filled, so nothing can be put in it but what
// the run puts there), or there before and merged into.
struct Made {
    std::shared_ptr<Folder> folder;
    std::string shown;
    bool existed = false;
    unsigned mode = 0;  // the mode it gets once filled
};

// Makes the directory `name` in `parent` for a source directory of `status`,
// or takes the one that is there; false, with the failure told, when neither
// works. A link or a file at the name is never entered or replaced.
bool make_directory(Copier& copier, const Report& report, Made& parent, const std::string& name,
                    const Status& status, Made& made) {
    made.shown = kivcli::join(parent.shown, name);
    const unsigned mode = status.mode & 0777 & ~umask_value();
    made.mode = parent.folder->gives_group_other_than(status.group)
                    ? without_widening_the_group(mode)
                    : mode;
    kivcli::SystemError error = 0;
    made.folder = copier.make_directory(parent.folder, name, 0700, made.existed, error);
    if (made.folder != nullptr) {
        return true;
    }
    if (made.existed && error != kivcli::replaced_meanwhile) {
        return report.fail("cannot overwrite non-directory " + quoted(made.shown) +
                           " with a directory");
    }
    return report.fail("cannot create directory " + quoted(made.shown) + ": " + describe(error));
}

bool finish(const Report& report, const Options& options, const Status& source, const Made& made) {
    std::string reason;
    if (!finish_directory(*made.folder, !made.existed, made.mode, source, options.preserve,
                          reason)) {
        return report.fail("cannot keep the attributes of a directory on " + quoted(made.shown) +
                           ": " + reason);
    }
    return true;
}

}  // namespace

std::int64_t tree_bytes(const std::string& source) {
    std::int64_t total = 0;
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> root = Folder::open(source, error);
    if (root == nullptr) {
        return 0;
    }
    kivcli::Visitor visitor;
    visitor.enter = [](const kivcli::Entry&) { return true; };
    visitor.leave = [](const kivcli::Entry&) {};
    visitor.visit = [&](const kivcli::Entry& entry) {
        if (entry.status.is_file()) {
            total += entry.status.size;
        }
    };
    visitor.problem = [](const std::string&, const std::string&) {};
    kivcli::walk(root, visitor);
    return total;
}

bool copy_tree(Copier& copier, const Report& report, const Options& options,
               const std::string& source, const std::shared_ptr<Folder>& into,
               const std::string& name, const std::string& shown) {
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> root = Folder::open(source, error);
    if (root == nullptr) {
        return report.fail("cannot open directory " + quoted(source) + ": " + describe(error));
    }
    if (lies_within(*into, *root)) {
        return report.fail("cannot copy a directory, " + quoted(source) + ", into itself, " +
                           quoted(shown));
    }
    Made top{into, std::string(), true, 0};
    std::vector<Made> made(1);
    if (!make_directory(copier, report, top, name, root->status(), made.back())) {
        return false;
    }
    made.back().shown = shown;
    report.tell(quoted(source) + " -> " + quoted(shown));
    const kivcli::FileIdentity copy_root = made.front().folder->status().identity;
    bool all = true;
    kivcli::Visitor visitor;
    visitor.enter = [&](const kivcli::Entry& entry) {
        if (entry.status.identity == copy_root) {
            all = report.fail("cannot copy a directory, " + quoted(entry.shown) +
                              ", into itself, " + quoted(shown));
            return false;
        }
        Made child;
        if (!make_directory(copier, report, made.back(), entry.name, entry.status, child)) {
            all = false;
            return false;
        }
        report.tell(quoted(entry.shown) + " -> " + quoted(child.shown));
        made.push_back(std::move(child));
        return true;
    };
    visitor.leave = [&](const kivcli::Entry& entry) {
        all = finish(report, options, entry.status, made.back()) && all;
        made.pop_back();
    };
    const bool follow = options.dereference == Dereference::always;
    visitor.visit = [&](const kivcli::Entry& entry) {
        const Made& here = made.back();
        const SourceName from{entry.folder.get(), entry.name, entry.shown, follow, &entry.status,
                              true};
        const std::string copy_shown = kivcli::join(here.shown, entry.name);
        const TargetName to{here.folder, entry.name, copy_shown, !here.existed};
        if (entry.status.is_file()) {
            all = copier.copy(from, to) && all;
        } else if (entry.status.is_link()) {
            all = copier.copy_symbolic_link(from, to, here.existed) && all;
        } else if (entry.status.is_fifo()) {
            all = copier.copy_fifo(from, to, here.existed) && all;
        } else {
            // A socket or a device is no file to copy: the copy of the tree
            // is incomplete, and says so in its exit status.
            all = report.fail("skipping " + quoted(entry.shown) +
                              ": not a regular file, directory, link or FIFO");
        }
    };
    visitor.problem = [&](const std::string& path, const std::string& reason) {
        all = report.fail("cannot read directory " + quoted(path) + ": " + reason);
    };
    kivcli::walk(root, visitor, follow ? kivcli::Links::follow : kivcli::Links::refuse);
    return finish(report, options, root->status(), made.front()) && all;
}

}  // namespace kivcopy_cli

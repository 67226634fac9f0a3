// SPDX-License-Identifier: Zlib
#include "targets.h"

#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "kivcli/backup_names.h"
#include "kivcli/glob.h"
#include "kivcli/output.h"
#include "kivcli/paths.h"
#include "kivcli/quote.h"
#include "kivcli/walk.h"
#include "kivsubst.h"
#include "system.h"

namespace kivsubst_cli {
namespace {

using kivcli::Folder;
using kivcli::quoted;

void say(const std::string& message) {
    kivcli::complain("kivsubst", message);
}

bool matches_any(const std::vector<std::string>& globs, const std::string& name) {
    for (const std::string& glob : globs) {
        if (kivcli::glob_matches(glob, name)) {
            return true;
        }
    }
    return false;
}

bool wanted(const Options& options, const std::string& name) {
    return (options.include.empty() || matches_any(options.include, name)) &&
           !matches_any(options.exclude, name);
}

// The directories that FILE operands name, each opened once, however many
// files of the run are in it.
class NamedFolders {
public:
    // The operand as a name in its directory; a name that is no entry of
    // its own ("dir/", ".") is resolved from the current directory whole.
    Target target(const std::string& operand) {
        std::string directory;
        std::string name;
        split_operand(operand, directory, name);
        if (name.empty() || name == "." || name == "..") {
            directory.clear();
            name = operand;
        }
        Target target;
        target.shown = operand;
        target.name = name;
        target.named = true;
        auto found = folders_.find(directory);
        if (found == folders_.end()) {
            kivcli::SystemError error = 0;
            std::shared_ptr<Folder> folder = Folder::open(directory.empty() ? "." : directory,
                                                          error);
            found = folders_.emplace(directory, std::make_pair(folder, error)).first;
        }
        target.folder = found->second.first;
        target.problem = found->second.second;
        return target;
    }

private:
    std::map<std::string, std::pair<std::shared_ptr<Folder>, kivcli::SystemError>> folders_;
};

// A file found under -r that has other names is left alone when root
// patches, unless its directory is its owner's alone: someone else who may
// add names there could have linked a file there that is not theirs to have
// changed (where the system lets anyone link any file).
bool is_foreign_hard_link(const Options& options, const kivcli::Entry& entry) {
    return !options.follow_hard_links && entry.status.links > 1 && caller_is_privileged() &&
           !entry.folder->vouches_for_hard_link(entry.status);
}

// Every regular file under `root` that the globs let in; directories that
// --exclude names are not entered, and links are not followed.
void collect_tree(const Options& options, const std::shared_ptr<Folder>& root,
                  std::vector<Target>& targets, int& failure) {
    auto failed = [&](const std::string& message) {
        say(message);
        if (failure == 0) {
            failure = KIVSUBST_CANNOT_OPEN;
        }
    };
    kivcli::Visitor visitor;
    visitor.enter = [&](const kivcli::Entry& entry) {
        return !matches_any(options.exclude, entry.name);
    };
    visitor.leave = [](const kivcli::Entry&) {};
    visitor.visit = [&](const kivcli::Entry& entry) {
        if (!wanted(options, entry.name)) {
            return;
        }
        if (entry.status.is_link()) {
            if (options.verbose) {
                kivcli::print_error(quoted(entry.shown) + ": skipped (a symbolic link)\n");
            }
        } else if (entry.status.is_file() && is_foreign_hard_link(options, entry)) {
            failed("not patching " + quoted(entry.shown) +
                   ": it has other hard links and its directory is not its owner's alone "
                   "(--follow-hard-links patches it)");
        } else if (entry.status.is_file()) {
            targets.push_back({entry.shown, entry.folder, entry.name, false, 0,
                               entry.status.identity, entry.status.size});
        }
    };
    visitor.problem = [&](const std::string& path, const std::string& reason) {
        failed("cannot read directory " + quoted(path) + ": " + reason);
    };
    kivcli::walk(root, visitor);
}



// A file that is the backup of another file of the run is not patched:
// its old bytes are that file's, and its own backup could take the place
// of the backup made now. Told, not counted as a failure.
void leave_out_backups(const Options& options, std::vector<Target>& targets) {
    if (!options.backup.enabled()) {
        return;
    }
    const kivcli::BackupNames names(options.backup);
    std::set<std::pair<kivcli::FileIdentity, std::string>> named;
    for (const Target& target : targets) {
        if (target.folder != nullptr) {
            named.insert({target.folder->status().identity, target.name});
        }
    }
    std::vector<Target> kept;
    for (Target& target : targets) {
        bool is_backup = false;
        for (const std::string& original :
             target.folder != nullptr ? names.originals_of(target.name)
                                      : std::vector<std::string>()) {
            if (named.count({target.folder->status().identity, original}) != 0) {
                say("leaving " + quoted(target.shown) + " alone: it is the backup of " +
                    quoted(target.folder->shown(original)));
                is_backup = true;
                break;
            }
        }
        if (!is_backup) {
            kept.push_back(std::move(target));
        }
    }
    targets = std::move(kept);
}

}  // namespace

std::vector<Target> collect_targets(const Options& options, int& failure) {
    std::vector<Target> targets;
    NamedFolders named;
    for (const std::string& operand : options.files) {
        kivcli::SystemError error = 0;
        const std::shared_ptr<Folder> tree =
            options.recursive ? Folder::open(operand, error) : nullptr;
        if (tree != nullptr) {
            collect_tree(options, tree, targets, failure);
        } else if (!options.recursive || wanted(options, kivcli::base_name(operand))) {
            targets.push_back(named.target(operand));
        }
    }
    leave_out_backups(options, targets);
    return targets;
}

bool check_targets(std::vector<Target>& targets, bool writing) {
    std::map<kivcli::FileIdentity, const Target*> seen;
    bool all = true;
    for (std::size_t i = 0; i < targets.size(); release_after(targets, i++)) {
        Target& target = targets[i];
        std::string reason;
        kivsubst::engine::File file;
        if (target.folder == nullptr) {
            reason = kivcli::describe(target.problem);
        } else {
            file = open_to_examine(target, reason);
        }
        if (!file.is_open()) {
            say("cannot open " + quoted(target.shown) + ": " + reason);
            all = false;
            continue;
        }
        if (writing && !is_writable(target, file, reason)) {
            say(quoted(target.shown) + " is not writable: " + reason);
            all = false;
            continue;
        }
        const std::optional<kivsubst::engine::FileStatus> status = file.status();
        if (!status) {
            const int error = kivsubst::engine::last_error();
            say("cannot open " + quoted(target.shown) + ": " + kivsubst::engine::describe(error));
            all = false;
            continue;
        }
        target.identity = {status->identity.volume, status->identity.index};
        target.size = status->length;
        const auto [earlier, first] = seen.emplace(target.identity, &target);
        if (!first) {
            say(quoted(earlier->second->shown) + " and " + quoted(target.shown) +
                " are the same file");
            all = false;
        }
    }
    return all;
}

void release_after(const std::vector<Target>& targets, std::size_t done) {
    if (done + 1 >= targets.size() || targets[done + 1].folder != targets[done].folder) {
        release_folders(targets[done]);
    }
}

void release_folders(const Target& target) {
    for (Folder* folder = target.folder.get(); folder != nullptr;
         folder = folder->parent().get()) {
        folder->release();
    }
}

}  // namespace kivsubst_cli

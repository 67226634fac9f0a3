// SPDX-License-Identifier: Zlib
#include "targets.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "examine.h"
#include "kivcli/glob.h"
#include "kivcli/quote.h"
#include "kivcli/walk.h"
#include "kivsubst.h"

namespace kivsubst_cli {
namespace {

using kivcli::quoted;

void say(const std::string& message) {
    std::fprintf(stderr, "kivsubst: %s\n", message.c_str());
}

bool matches_any(const std::vector<std::string>& globs, const std::string& name) {
    for (const std::string& glob : globs) {
        if (kivcli::glob_matches(glob, name)) {
            return true;
        }
    }
    return false;
}

// The last component of a path, on which --include and --exclude match.
std::string base_name(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && (name.back() == '/' || name.back() == '\\')) {
        name.pop_back();
    }
    const std::size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

bool wanted(const Options& options, const std::string& name) {
    return (options.include.empty() || matches_any(options.include, name)) &&
           !matches_any(options.exclude, name);
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void add(std::vector<Target>& targets, const std::string& shown) {
    targets.push_back({shown, library_path(shown)});
}

// Every regular file under `root`, and every link to one, that the globs
// let in; directories that --exclude names are not entered.
void collect_tree(const Options& options, const std::string& root, std::vector<Target>& targets,
                  int& failure) {
    kivcli::Visitor visitor;
    visitor.enter = [&](const kivcli::Entry& entry) {
        return !matches_any(options.exclude, entry.name);
    };
    visitor.leave = [](const kivcli::Entry&) {};
    visitor.visit = [&](const kivcli::Entry& entry) {
        const bool file = entry.kind == kivcli::EntryKind::file ||
                          entry.kind == kivcli::EntryKind::link_to_file;
        if (file && wanted(options, entry.name)) {
            add(targets, entry.path);
        }
    };
    visitor.problem = [&](const std::string& path, const std::string& reason) {
        say("cannot read directory " + quoted(path) + ": " + reason);
        if (failure == 0) {
            failure = KIVSUBST_CANNOT_OPEN;
        }
    };
    kivcli::walk(root, visitor);
}

}  // namespace

std::vector<Target> collect_targets(const Options& options, int& failure) {
    std::vector<Target> targets;
    for (const std::string& operand : options.files) {
        if (options.recursive && is_directory(operand)) {
            collect_tree(options, operand, targets, failure);
        } else if (!options.recursive || wanted(options, base_name(operand))) {
            add(targets, operand);
        }
    }
    return targets;
}

bool check_targets(std::vector<Target>& targets, bool writing) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, const Target*> seen;
    bool all = true;
    for (Target& target : targets) {
        std::string reason;
        kivsubst::platform::File file = open_to_examine(target.path, reason);
        if (!file.is_open()) {
            say("cannot open " + quoted(target.shown) + ": " + reason);
            all = false;
            continue;
        }
        if (writing && !is_writable(target.path, reason)) {
            say(quoted(target.shown) + " is not writable: " + reason);
            all = false;
            continue;
        }
        const std::optional<kivsubst::platform::FileStatus> status = file.status();
        if (!status) {
            continue;  // the call will tell
        }
        target.size = status->length;
        const auto [earlier, first] =
            seen.emplace(std::make_pair(status->identity.volume, status->identity.index), &target);
        if (!first) {
            say(quoted(earlier->second->shown) + " and " + quoted(target.shown) +
                " are the same file");
            all = false;
        }
    }
    return all;
}

}  // namespace kivsubst_cli

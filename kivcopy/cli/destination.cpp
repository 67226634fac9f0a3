// SPDX-License-Identifier: Zlib
#include "destination.h"

#include <vector>

#include "kivcli/output.h"
#include "kivcli/paths.h"
#include "kivcli/quote.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

using kivcli::describe;
using kivcli::quoted;

bool is_directory(Folder& here, const std::string& path) {
    kivcli::Status status;
    kivcli::SystemError error = 0;
    return here.status_of(path, kivcli::Links::follow, status, error) && status.is_directory();
}

// Makes the missing directories for -D and holds the last; null, with the
// failure told, when one cannot be made.
std::shared_ptr<Folder> make_parents(const std::string& directory) {
    std::string failed;
    kivcli::SystemError error = 0;
    std::shared_ptr<Folder> made = make_directories(directory, failed, error);
    if (made == nullptr) {
        kivcli::complain(program_name,
                         "cannot create directory " + quoted(failed) + ": " + describe(error));
    }
    return made;
}

// The directory a single TARGET goes into, held; null, with the failure
// told, when it cannot be opened (or, with -D, made).
std::shared_ptr<Folder> folder_of_target(const Options& options, const std::string& target) {
    const std::string directory = kivcli::directory_of(target);
    if (options.make_parents && !directory.empty()) {
        return make_parents(directory);
    }
    kivcli::SystemError error = 0;
    std::shared_ptr<Folder> folder = Folder::open(directory.empty() ? "." : directory, error);
    if (folder == nullptr) {
        kivcli::complain(program_name, "cannot create " + quoted(target) + ": " + describe(error));
    }
    return folder;
}

}  // namespace

int find_destination(Options& options, Folder& here, Destination& destination) {
    std::vector<std::string>& sources = options.operands;
    if (options.target_directory) {
        destination.path = *options.target_directory;
        destination.into = true;
    } else if (sources.size() < 2) {
        return usage_error(sources.empty() ? "missing file operand"
                                           : "missing destination file operand after " +
                                                 quoted(sources[0]));
    } else {
        destination.path = sources.back();
        sources.pop_back();
        const std::string& path = destination.path;
        destination.into = sources.size() > 1 || is_directory(here, path) ||
                           (!path.empty() && kivcli::is_separator(path.back()));
    }
    if (sources.empty()) {
        return usage_error("missing file operand");
    }
    if (!destination.into) {
        return -1;
    }
    // With -D a destination directory (named by -t, by a trailing separator or
    // after several sources) is created like the directories of a single target.
    if (options.make_parents && !is_directory(here, destination.path)) {
        destination.folder = make_parents(destination.path);
        return destination.folder != nullptr ? -1 : finish_output(exit_copy_failed);
    }
    kivcli::SystemError error = 0;
    destination.folder = Folder::open(destination.path, error);
    if (destination.folder != nullptr) {
        return -1;
    }
    kivcli::Status status;
    if (here.status_of(destination.path, kivcli::Links::follow, status, error) &&
        !status.is_directory()) {
        return usage_error("target " + quoted(destination.path) + " is not a directory");
    }
    return usage_error("target directory " + quoted(destination.path) + ": " + describe(error));
}

TargetName target_of(const Options& options, const Destination& destination,
                     const std::string& source) {
    if (destination.into) {
        const std::string name = kivcli::base_name(source);
        return {destination.folder, name, kivcli::join(destination.path, name), false};
    }
    return {folder_of_target(options, destination.path), kivcli::base_name(destination.path),
            destination.path, false};
}

}  // namespace kivcopy_cli

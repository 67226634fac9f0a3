// SPDX-License-Identifier: Zlib
// kivcopy: the command-line front end of the kivcopy library.
//
//   kivcopy [OPTION]... [--] SOURCE TARGET
//   kivcopy [OPTION]... [--] SOURCE... DIRECTORY
//   kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...
//
// Each file is copied by the library's own copy steps; with -r, directories
// are walked and made, and links copied as links. Every directory is opened
// once and every name resolved relative to it. A failed copy prints one line
// on standard error and the remaining sources are still copied.
#include <memory>
#include <string>
#include <vector>

#include "copier.h"
#include "kivcli/entry.h"
#include "kivcli/folder.h"
#include "kivcli/output.h"
#include "kivcli/progress.h"
#include "kivcli/quote.h"
#include "options.h"
#include "paths.h"
#include "system.h"
#include "tree.h"

namespace {

using kivcli::describe;
using kivcli::Folder;
using kivcli::quoted;
using namespace kivcopy_cli;

// Where the copies go: the destination, and whether each source goes into
// it under its own name (several sources, -t, an existing directory, or a
// name ending in a separator) or becomes it; in the first case the
// directory, held.
struct Destination {
    std::string path;
    bool into = false;
    std::shared_ptr<Folder> folder;
};

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

// Reads the destination from the operands (the last one, unless -t named
// it) and holds the directory the copies go into; returns the exit status
// for a wrong command line, or -1 to go on.
int find_destination(Options& options, Folder& here, Destination& destination) {
    std::vector<std::string>& sources = options.operands;
    if (options.target_directory) {
        destination.path = *options.target_directory;
        destination.into = true;
    } else if (sources.size() < 2) {
        if (sources.empty()) {
            kivcli::complain(program_name, "missing file operand");
        } else {
            kivcli::complain(program_name,
                             "missing destination file operand after " + quoted(sources[0]));
        }
        return usage_error();
    } else {
        destination.path = sources.back();
        sources.pop_back();
        destination.into = sources.size() > 1 || is_directory(here, destination.path) ||
                           (!destination.path.empty() && is_separator(destination.path.back()));
    }
    if (sources.empty()) {
        kivcli::complain(program_name, "missing file operand");
        return usage_error();
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
        kivcli::complain(program_name, "target " + quoted(destination.path) + " is not a directory");
    } else {
        kivcli::complain(program_name,
                         "target directory " + quoted(destination.path) + ": " + describe(error));
    }
    return usage_error();
}

// The directory a single TARGET goes into, held; null, with the failure
// told, when it cannot be opened (or, with -D, made).
std::shared_ptr<Folder> folder_of_target(const Options& options, const std::string& target) {
    const std::string directory = directory_of(target);
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

// The bytes a run will copy, for the progress line.
std::int64_t total_bytes(const Options& options, Folder& here) {
    std::int64_t total = 0;
    for (const std::string& source : options.operands) {
        kivcli::Status status;
        kivcli::SystemError error = 0;
        if (!here.status_of(source, kivcli::Links::follow, status, error)) {
            continue;
        }
        if (status.is_directory() && options.recursive) {
            total += tree_bytes(source);
        } else if (status.is_file()) {
            total += status.size;
        }
    }
    return total;
}

// One SOURCE: a link copied as a link (-P, the default with -r), a tree
// (-r), a FIFO made anew (-r), or a file.
bool copy_source(Copier& copier, const Report& report, const Options& options, Folder& here,
                 const std::string& source, const TargetName& target) {
    kivcli::Status own;
    kivcli::SystemError error = 0;
    const bool follow = options.dereference != Dereference::never;
    if (!follow && here.status_of(source, kivcli::Links::refuse, own, error) && own.is_link()) {
        return copier.copy_symbolic_link({&here, source, source, false, &own}, target, true);
    }
    kivcli::Status status;
    if (!here.status_of(source, kivcli::Links::follow, status, error)) {
        return report.fail("cannot stat " + kivcli::quoted(source) + ": " + describe(error));
    }
    if (options.recursive && status.is_directory()) {
        return copy_tree(copier, report, options, source, target.folder, target.name, target.shown);
    }
    if (options.recursive && status.is_fifo()) {
        return copier.copy_fifo({&here, source, source, true, &status}, target, true);
    }
    return copier.copy({&here, source, source, true, &status}, target);
}

}  // namespace

int front_end_main(int argc, char** argv) {
    Options options;
    if (const int status = parse_command_line(argc, argv, options); status >= 0) {
        return status;
    }
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> here = Folder::open(".", error);
    if (here == nullptr) {
        kivcli::complain(program_name, "cannot open the current directory: " + describe(error));
        return finish_output(exit_copy_failed);
    }
    Destination destination;
    if (const int status = find_destination(options, *here, destination); status >= 0) {
        return status;
    }

    // The sources are looked at for the total only where a progress line
    // may be shown.
    kivcli::Progress progress(options.progress, 0);
    if (progress.may_show()) {
        progress.set_total(total_bytes(options, *here));
    }
    const Report report(options.verbose);
    Copier copier(options, progress, report);
    bool all_copied = true;
    for (const std::string& source : options.operands) {
        std::shared_ptr<Folder> folder = destination.folder;
        std::string name = base_name(source);
        std::string shown = join(destination.path, name);
        if (!destination.into) {
            folder = folder_of_target(options, destination.path);
            name = base_name(destination.path);
            shown = destination.path;
        }
        if (folder == nullptr) {
            all_copied = false;
        } else {
            const TargetName target{folder, name, shown, false};
            all_copied = copy_source(copier, report, options, *here, source, target) && all_copied;
        }
    }
    progress.finish();
    return finish_output(all_copied ? exit_copied : exit_copy_failed);
}

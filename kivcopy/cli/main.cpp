// SPDX-License-Identifier: Zlib
// kivcopy: the command-line front end of the kivcopy library.
//
//   kivcopy [OPTION]... [--] SOURCE TARGET
//   kivcopy [OPTION]... [--] SOURCE... DIRECTORY
//   kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...
//
// Each file is copied by one call of KivCopyFile; with -r, directories are
// walked and made, and links copied as links. A failed copy prints one line
// on standard error and the remaining sources are still copied.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "copier.h"
#include "kivcli/progress.h"
#include "kivcli/quote.h"
#include "options.h"
#include "paths.h"
#include "tree.h"

namespace {

using kivcli::quoted;
using namespace kivcopy_cli;

// Where the copies go: the destination, and whether each source goes into
// it under its own name (several sources, -t, an existing directory, or a
// name ending in a separator) or becomes it.
struct Destination {
    std::string path;
    bool into = false;
};

// Reads the destination from the operands (the last one, unless -t named
// it) and checks it; returns the exit status for a wrong command line, or
// -1 to go on.
int find_destination(Options& options, Destination& destination) {
    std::vector<std::string>& sources = options.operands;
    if (options.target_directory) {
        destination = {*options.target_directory, true};
    } else if (sources.size() < 2) {
        if (sources.empty()) {
            std::fprintf(stderr, "%s: missing file operand\n", program_name);
        } else {
            std::fprintf(stderr, "%s: missing destination file operand after %s\n", program_name,
                         quoted(sources[0]).c_str());
        }
        return usage_error();
    } else {
        destination.path = sources.back();
        sources.pop_back();
        destination.into = sources.size() > 1 || is_directory(destination.path) ||
                           (!destination.path.empty() && is_separator(destination.path.back()));
    }
    if (sources.empty()) {
        std::fprintf(stderr, "%s: missing file operand\n", program_name);
        return usage_error();
    }
    if (!destination.into) {
        return -1;
    }
    // With -D a destination directory (named by -t, by a trailing separator or
    // after several sources) is created like the directories of a single target.
    if (options.make_parents && !is_directory(destination.path) &&
        !make_directories(destination.path)) {
        return finish_output(exit_copy_failed);
    }
    struct stat status {};
    if (::stat(destination.path.c_str(), &status) != 0) {
        std::fprintf(stderr, "%s: target directory %s: %s\n", program_name,
                     quoted(destination.path).c_str(), std::strerror(errno));
        return usage_error();
    }
    if (!S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "%s: target %s is not a directory\n", program_name,
                     quoted(destination.path).c_str());
        return usage_error();
    }
    return -1;
}

// The bytes a run will copy, for the progress line.
std::int64_t total_bytes(const Options& options) {
    std::int64_t total = 0;
    for (const std::string& source : options.operands) {
        struct stat status {};
        if (::stat(source.c_str(), &status) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode) && options.recursive) {
            total += tree_bytes(source);
        } else if (S_ISREG(status.st_mode)) {
            total += static_cast<std::int64_t>(status.st_size);
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse_command_line(argc, argv, options); status >= 0) {
        return status;
    }
    Destination destination;
    if (const int status = find_destination(options, destination); status >= 0) {
        return status;
    }

    // The sources are looked at for the total only where a progress line
    // may be shown.
    kivcli::Progress progress(options.progress, 0);
    if (progress.may_show()) {
        progress.set_total(total_bytes(options));
    }
    Copier copier(options, progress);
    bool all_copied = true;
    for (const std::string& source : options.operands) {
        const std::string target =
            destination.into ? join(destination.path, base_name(source)) : destination.path;
        if (options.recursive && is_directory(source)) {
            all_copied = copy_tree(copier, options, source, target) && all_copied;
        } else {
            all_copied = copier.copy_named(source, target) && all_copied;
        }
    }
    progress.finish();
    return finish_output(all_copied ? exit_copied : exit_copy_failed);
}

// SPDX-License-Identifier: Zlib
// kivcopy: the command-line front end of the kivcopy library.
//
//   kivcopy [OPTION]... [--] SOURCE TARGET
//   kivcopy [OPTION]... [--] SOURCE... DIRECTORY
//   kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...
//   kivcopy --recover[=FOLDER] [DIRECTORY]
//
// Each file is copied by the library's own copy steps; with -r, directories
// are walked and made, and links copied as links. Every directory is opened
// once and every name resolved relative to it. A failed copy prints one line
// on standard error and the remaining sources are still copied. With
// --atomic every file is staged as an install of one transaction instead,
// and all are put in place at its commit, or none; --recover finishes or
// undoes one that was cut off.
#include <memory>
#include <string>
#include <vector>

#include "atomic.h"
#include "copier.h"
#include "destination.h"
#include "kivcli/entry.h"
#include "kivcli/folder.h"
#include "kivcli/output.h"
#include "kivcli/progress.h"
#include "kivcli/quote.h"
#include "options.h"
#include "system.h"
#include "tree.h"

namespace {

using kivcli::describe;
using kivcli::Folder;
using kivcli::quoted;
using namespace kivcopy_cli;

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
    if (options.recover) {
        return finish_output(recover_journal_folder(options) ? exit_copied : exit_copy_failed);
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
    AtomicRun atomic;
    if (options.atomic && !atomic.begin(options, destination, copier, report)) {
        return finish_output(exit_copy_failed);
    }
    bool all_copied = true;
    for (const std::string& source : options.operands) {
        const TargetName target = target_of(options, destination, source);
        all_copied = target.folder != nullptr &&
                     copy_source(copier, report, options, *here, source, target) && all_copied;
        if (options.atomic && !all_copied) {
            break;  // the transaction is given up: nothing more is staged
        }
    }
    if (options.atomic) {
        all_copied = atomic.end(all_copied, copier, report);
    }
    progress.finish();
    return finish_output(all_copied ? exit_copied : exit_copy_failed);
}

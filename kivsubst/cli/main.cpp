// SPDX-License-Identifier: Zlib
// kivsubst: the command-line front end of the kivsubst library.
//
//   kivsubst [OPTION]... [--] PATTERN REPLACEMENT FILE...
//   kivsubst [OPTION]... -e PATTERN REPLACEMENT [-e ...] [--] FILE...
//   kivsubst --recover[=FOLDER] [-r] [FILE]...
//
// The files are collected (with -r, from the directories named), checked
// all before any is changed, and then patched through the library's own
// steps: one file as the library's call patches it, several in batches that
// share their syncs. -n counts and --preview shows what a run would change,
// with the library's own scan, and change nothing; FILE - filters standard
// input to standard output. --atomic patches them as one transaction
// instead, all or none; --recover finishes or undoes one that was cut off.
#include <string>
#include <vector>

#include "atomic.h"
#include "examine.h"
#include "filter.h"
#include "kivcli/entry.h"
#include "kivsubst.h"
#include "messages.h"
#include "options.h"
#include "patch.h"
#include "system.h"
#include "tally.h"
#include "targets.h"

namespace {

using namespace kivsubst_cli;

// Nothing to patch is no "nothing found": it is said, and the run fails.
int nothing_to_patch(const Options& options, Tally& tally) {
    const bool filtered = !options.include.empty() || !options.exclude.empty();
    tally.fail(KIVSUBST_CANNOT_OPEN, filtered
                                         ? "no file to patch: --include and --exclude left none"
                                         : "no file to patch");
    return tally.exit_status();
}

}  // namespace

int front_end_main(int argc, char** argv) {
    Options options;
    if (const int status = parse_command_line(argc, argv, options); status >= 0) {
        return status;
    }
    print_library_lines_here();
    if (options.recover) {
        return recover_journal_folder(options);
    }
    if (names_standard_input(options)) {
        return filter(options);
    }
    const bool changes = !options.dry_run && !options.preview;
    if (changes && options.atomic) {
        if (const int status = settle_journal_folder(options); status != 0) {
            return status;
        }
    }
    Tally tally;
    std::vector<Target> targets = collect_targets(options, tally.first_failure);
    if (targets.empty() && tally.first_failure == 0) {
        return nothing_to_patch(options, tally);
    }
    if (options.dry_run || options.preview) {
        return examine_targets(targets, options, tally);
    }
    // Nothing is changed unless every file can be: a run that would stop
    // half-way leaves the files as they were.
    if (tally.first_failure != 0 || !check_targets(targets, true)) {
        return KIVSUBST_CANNOT_OPEN;
    }
    {
        // A stop asked during the run ends it once every file is whole.
        HeldStops stops;
        if (options.atomic) {
            patch_atomically(targets, options, tally, stops);
        } else {
            patch_targets(targets, options, tally, stops);
        }
    }
    return tally.exit_status();
}

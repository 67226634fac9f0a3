// SPDX-License-Identifier: Zlib
// kivsubst: the command-line front end of the kivsubst library.
//
//   kivsubst [OPTION]... [--] PATTERN REPLACEMENT FILE...
//   kivsubst [OPTION]... -e PATTERN REPLACEMENT [-e ...] [--] FILE...
//
// The files are collected (with -r, from the directories named), checked
// all before any is changed, and then patched through the library's own
// steps: one file as the library's call patches it, several in batches that
// share their syncs. -n counts and --preview shows what a run would change,
// with the library's own scan, and change nothing; FILE - filters standard
// input to standard output.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "examine.h"
#include "kivcli/entry.h"
#include "kivcli/folder.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivsubst.h"
#include "options.h"
#include "patch.h"
#include "preview.h"
#include "tally.h"
#include "system.h"
#include "targets.h"

namespace {

using kivcli::quoted;
using namespace kivsubst_cli;

// -n and --preview: each file is looked at alone, and one that cannot be
// read is reported while the others are still looked at.
int look(std::vector<Target>& targets, const Options& options, Tally& tally) {
    Counter counter(pairs_of(options));
    std::string reason;
    if (const int status = counter.problem(reason); status != 0) {
        kivcli::complain("kivsubst", reason);
        return status;
    }
    for (std::size_t i = 0; i < targets.size(); release_after(targets, i++)) {
        Target& target = targets[i];
        std::uint64_t count = 0;
        if (options.preview) {
            if (!preview_file(target, options, counter, count, reason)) {
                tally.fail(KIVSUBST_CANNOT_OPEN,
                           "cannot open " + quoted(target.shown) + ": " + reason);
            }
        } else {
            kivsubst::platform::File input =
                target.folder != nullptr ? open_to_examine(target, reason)
                                         : kivsubst::platform::File();
            if (target.folder == nullptr) {
                reason = kivcli::describe(target.problem);
            }
            if (!input.is_open()) {
                tally.fail(KIVSUBST_CANNOT_OPEN,
                           "cannot open " + quoted(target.shown) + ": " + reason);
                continue;
            }
            if (!counter.count(input, count, reason)) {
                tally.fail(KIVSUBST_COPY_ERROR,
                           "cannot read " + quoted(target.shown) + ": " + reason);
                continue;
            }
            if (count > 0) {
                kivcli::print(quoted(target.shown) + ": " + std::to_string(count) +
                              " to replace\n");
            } else {
                kivcli::print(quoted(target.shown) + ": nothing found\n");
            }
        }
        tally.any_replaced = tally.any_replaced || count > 0;
    }
    return tally.exit_status();
}

// FILE - : standard input to standard output, alone.
int filter(const Options& options) {
    if (options.files.size() != 1) {
        return usage_error("'-' (standard input) must be the only FILE");
    }
    if (options.recursive || options.backup.enabled() || options.preview || options.dry_run) {
        return usage_error("'-' (standard input) takes none of -r, --backup, -n, --preview");
    }
    return patch_stream(options);
}

bool names_standard_input(const Options& options) {
    for (const std::string& file : options.files) {
        if (file == "-") {
            return true;
        }
    }
    return false;
}

}  // namespace

int front_end_main(int argc, char** argv) {
    Options options;
    if (const int status = parse_command_line(argc, argv, options); status >= 0) {
        return status;
    }
    print_library_lines_here();
    if (names_standard_input(options)) {
        return filter(options);
    }

    Tally tally;
    std::vector<Target> targets = collect_targets(options, tally.first_failure);
    if (targets.empty() && tally.first_failure == 0) {
        // Nothing to patch is no "nothing found": say so, and fail.
        const bool filtered = !options.include.empty() || !options.exclude.empty();
        tally.fail(KIVSUBST_CANNOT_OPEN,
                   filtered ? "no file to patch: --include and --exclude left none"
                            : "no file to patch");
        return tally.exit_status();
    }
    if (options.dry_run || options.preview) {
        return look(targets, options, tally);
    }
    // Nothing is changed unless every file can be: a run that would stop
    // half-way leaves the files as they were.
    if (tally.first_failure != 0 || !check_targets(targets, true)) {
        return KIVSUBST_CANNOT_OPEN;
    }
    patch_targets(targets, options, tally);
    return tally.exit_status();
}

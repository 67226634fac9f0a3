// SPDX-License-Identifier: Zlib
// The count, on the library's own platform layer and scan: a count taken
// here is the count that the library's call would find.
#include "examine.h"

#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivsubst.h"
#include "patch.h"
#include "preview.h"
#include "system.h"

namespace kivsubst_cli {

using kivcli::quoted;
using kivsubst::engine::File;

Counter::Counter(const Options& options)
    : scanner_(scanner_for(options)), discard_(open_discarding_output(discard_error_)) {}

int Counter::problem(std::string& reason) const {
    if (!scanner_.ready()) {
        reason = "out of memory";
        return KIVSUBST_NO_MEMORY;
    }
    if (!discard_.is_open()) {
        reason = discard_error_;
        return KIVSUBST_COPY_ERROR;
    }
    return 0;
}

bool Counter::count(File& file, std::uint64_t& occurrences, std::string& reason) {
    const std::int64_t length = file.length();
    if (length < 0) {
        reason = kivsubst::engine::describe(kivsubst::engine::last_error());
        return false;
    }
    const kivsubst::engine::ScanOutcome outcome = scanner_.run(file, length, discard_);
    if (outcome.kind != kivsubst::engine::ScanOutcome::Kind::complete) {
        reason = kivsubst::engine::describe(kivsubst::engine::last_error());
        return false;
    }
    occurrences = outcome.replacements;
    return true;
}

int examine_targets(std::vector<Target>& targets, const Options& options, Tally& tally) {
    Counter counter(options);
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
            kivsubst::engine::File input =
                target.folder != nullptr ? open_to_examine(target, reason)
                                         : kivsubst::engine::File();
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

}  // namespace kivsubst_cli

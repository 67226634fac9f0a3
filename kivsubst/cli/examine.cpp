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
    : options_(options),
      scanners_(scanners_for(options)),
      discard_(open_discarding_output(discard_error_)) {}

int Counter::problem(std::string& reason) const {
    if (!scanners_->ready()) {
        reason = "out of memory";
        return KIVSUBST_NO_MEMORY;
    }
    if (!discard_.is_open()) {
        reason = discard_error_;
        return KIVSUBST_COPY_ERROR;
    }
    return 0;
}

// The scan for the file: the one of the run, or with --encoding the one
// for the file's encoding, chosen by its mark as the library's call would.
kivsubst::engine::Scanner* Counter::scanner_of(File& file, int& status, std::string& reason) {
    using Refusal = kivsubst::engine::Scanners::Refusal;
    Refusal refusal = Refusal::none;
    kivsubst::engine::Scanner* scanner = scanners_->for_input(file, refusal);
    switch (refusal) {
        case Refusal::none:
            break;
        case Refusal::unreadable:
            reason = kivsubst::engine::describe(kivsubst::engine::last_error());
            status = KIVSUBST_COPY_ERROR;
            break;
        case Refusal::memory:
            reason = scanners_->why(refusal);
            status = KIVSUBST_NO_MEMORY;
            break;
        case Refusal::encoding:
        case Refusal::contradicting_mark:
            reason = scanners_->why(refusal);
            status = KIVSUBST_BAD_ENCODING;
            break;
    }
    return scanner;
}

int Counter::count(File& file, std::uint64_t& occurrences, std::string& reason) {
    const std::int64_t length = file.length();
    if (length < 0) {
        reason = kivsubst::engine::describe(kivsubst::engine::last_error());
        return KIVSUBST_COPY_ERROR;
    }
    int status = 0;
    kivsubst::engine::Scanner* const scanner = scanner_of(file, status, reason);
    if (scanner == nullptr) {
        return status;
    }
    scanner->observe(observer_);
    const kivsubst::engine::ScanOutcome outcome = scanner->run(file, length, discard_);
    scanner->observe(nullptr);
    if (outcome.kind != kivsubst::engine::ScanOutcome::Kind::complete) {
        reason = kivsubst::engine::describe(kivsubst::engine::last_error());
        return KIVSUBST_COPY_ERROR;
    }
    if (!outcome.valid_text) {
        reason = "it has no byte-order mark and is not UTF-8";
        return KIVSUBST_BAD_ENCODING;
    }
    occurrences = outcome.replacements;
    return 0;
}

const std::vector<std::pair<std::string, std::string>>& Counter::pairs() const {
    return scanners_->texts();
}

std::optional<kivsubst::engine::TextEncoding> Counter::encoding() const {
    return scanners_->encoding();
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
            if (const int status = preview_file(target, counter, count, reason); status != 0) {
                tally.fail(status, (status == KIVSUBST_BAD_ENCODING ? "cannot patch "
                                                                     : "cannot open ") +
                                       quoted(target.shown) + ": " + reason);
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
            if (const int status = counter.count(input, count, reason); status != 0) {
                tally.fail(status, (status == KIVSUBST_BAD_ENCODING ? "cannot patch "
                                                                     : "cannot read ") +
                                       quoted(target.shown) + ": " + reason);
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

// SPDX-License-Identifier: Zlib
#include "filter.h"

#include <cstdint>
#include <memory>
#include <string>

#include "kivcli/output.h"
#include "kivsubst.h"
#include "patch.h"
#include "system.h"

namespace kivsubst_cli {
namespace {

using kivsubst::engine::File;

// Standard input to standard output, in blocks: 0 or 1 as for a file, or 7
// when a read or a write failed.
int patch_stream(const Options& options) {
    // With a named encoding, text is written in it, and the stream is
    // matched from its first byte on.
    const std::unique_ptr<kivsubst::engine::Scanners> scanners = scanners_for(options);
    kivsubst::engine::Scanners::Refusal refusal{};
    kivsubst::engine::Scanner* const scanner = scanners->for_stream(refusal);
    if (refusal == kivsubst::engine::Scanners::Refusal::encoding) {
        kivcli::complain("kivsubst", "the text cannot be written in that encoding (9)");
        return KIVSUBST_BAD_ENCODING;
    }
    if (scanner == nullptr || !scanner->ready()) {
        kivcli::complain("kivsubst", "out of memory (6)");
        return KIVSUBST_NO_MEMORY;
    }
    File input = standard_stream(true);
    File output = standard_stream(false);
    const kivsubst::engine::ScanOutcome outcome = scanner->run(input, INT64_MAX, output);
    if (outcome.kind != kivsubst::engine::ScanOutcome::Kind::complete) {
        const bool reading = outcome.kind == kivsubst::engine::ScanOutcome::Kind::read_failed;
        const int error = kivsubst::engine::last_error();
        kivcli::complain("kivsubst", std::string("cannot ") +
                                         (reading ? "read standard input: "
                                                  : "write standard output: ") +
                                         kivsubst::engine::describe(error) + " (7)");
        return KIVSUBST_COPY_ERROR;
    }
    return outcome.replacements > 0 ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND;
}

}  // namespace

int filter(const Options& options) {
    if (options.files.size() != 1) {
        return usage_error("'-' (standard input) must be the only FILE");
    }
    if (options.recursive || options.backup.enabled() || options.preview || options.dry_run) {
        return usage_error("'-' (standard input) takes none of -r, --backup, -n, --preview");
    }
    if (options.text == kivsubst::engine::TextEncoding::from_mark) {
        return usage_error("'-' (standard input) needs a named encoding, not --encoding=auto");
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

}  // namespace kivsubst_cli

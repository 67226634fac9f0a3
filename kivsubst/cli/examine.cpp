// SPDX-License-Identifier: Zlib
// The count, on the library's own platform layer and scan: a count taken
// here is the count that the library's call would find.
#include "examine.h"

#include "kivsubst.h"
#include "system.h"

namespace kivsubst_cli {

using kivsubst::platform::File;

Counter::Counter(const std::vector<kivsubst::Pair>& pairs)
    : scanner_(pairs), discard_(open_discarding_output(discard_error_)) {}

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
        reason = kivsubst::platform::last_error();
        return false;
    }
    const kivsubst::ScanOutcome outcome = scanner_.run(file, length, discard_);
    if (outcome.kind != kivsubst::ScanOutcome::Kind::complete) {
        reason = kivsubst::platform::last_error();
        return false;
    }
    occurrences = outcome.replacements;
    return true;
}

}  // namespace kivsubst_cli

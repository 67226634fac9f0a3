// SPDX-License-Identifier: Zlib
#include "report.h"

#include "kivcli/folder.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivcopy.h"
#include "options.h"

namespace kivcopy_cli {
namespace {

// What a result of the library's copy means, in the words of its header.
const char* meaning_of(int result) {
    switch (result) {
        case KIVCOPY_OK:
            return "copied";
        case KIVCOPY_SOURCE_NOT_OPENED:
            return "the source cannot be opened for reading";
        case KIVCOPY_TARGET_NOT_WRITTEN:
            return "the target cannot be opened, written or closed, or is the source itself";
        case KIVCOPY_SOURCE_NOT_READ:
            return "the source cannot be read";
        case KIVCOPY_TARGET_EXISTS:
            return "the target exists";
        case KIVCOPY_TIMES_NOT_SET:
            return "copied, but the target's times cannot be set";
        default:
            return "unknown result";
    }
}

}  // namespace

bool Report::fail(const std::string& message) const {
    kivcli::complain(program_name, message);
    return false;
}

void Report::tell(const std::string& line) const {
    if (verbose_) {
        kivcli::print(line + "\n");
    }
}

bool Report::skip(const std::string& shown, const char* why) const {
    tell("skipped " + kivcli::quoted(shown) + " (" + why + ")");
    return true;
}

bool Report::failed_with(int result, const std::string& source, const std::string& target,
                         int error) const {
    return fail(kivcli::quoted(source) + " -> " + kivcli::quoted(target) + ": " +
                std::to_string(result) + ": " + meaning_of(result) +
                (error != 0 ? " (" + kivcli::describe(error) + ")" : std::string()));
}

}  // namespace kivcopy_cli

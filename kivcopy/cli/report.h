/* SPDX-License-Identifier: Zlib */
// What a run of the front end tells: with -v a line for each copy, skip and
// removal on standard output; each failure as one line on standard error,
// in the system's own words.
#ifndef KIVCOPY_CLI_REPORT_H
#define KIVCOPY_CLI_REPORT_H

#include <string>

namespace kivcopy_cli {

class Report {
public:
    explicit Report(bool verbose) : verbose_(verbose) {}

    // Tells a failure; always false, so that a step can return it.
    bool fail(const std::string& message) const;
    // A line that only -v shows.
    void tell(const std::string& line) const;
    // A target left alone, and why; always true (leaving it is no failure).
    bool skip(const std::string& shown, const char* why) const;
    // A copy that ended with the library's `result`, with the system's
    // words for `error` where there is one.
    bool failed_with(int result, const std::string& source, const std::string& target,
                     int error) const;

private:
    bool verbose_;
};

}  // namespace kivcopy_cli

#endif

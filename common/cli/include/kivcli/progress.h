/* SPDX-License-Identifier: Zlib */
// A progress line on standard error for long runs: bytes done of the total
// and the rate, rewritten in place on a terminal.
#ifndef KIVCLI_PROGRESS_H
#define KIVCLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace kivcli {

class Progress {
public:
    // automatic: shown only on a terminal, and only once the run has taken
    // about a second; always: shown from the start on a terminal, and as
    // one line at the end elsewhere; never.
    enum class Mode { automatic, always, never };

    Progress(Mode mode, std::int64_t total);
    // `done` bytes of the total are done now.
    void update(std::int64_t done);
    // Ends the line, if one was shown (or, with always, shows it once).
    void finish();
    // Whether a line may be shown at all: what it needs (a total) is
    // worth working out only then.
    bool may_show() const;
    // The total, once it is known.
    void set_total(std::int64_t total) { total_ = total; }

private:
    void show(bool final);

    Mode mode_;
    bool terminal_;
    std::int64_t total_;
    std::int64_t done_ = 0;
    bool shown_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point last_shown_;
};

// A byte count as people read it: "512 B", "3.1 KiB", "1.5 GiB".
std::string human_bytes(double bytes);

}  // namespace kivcli

#endif

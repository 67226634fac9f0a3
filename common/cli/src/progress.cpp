// SPDX-License-Identifier: Zlib
#include "kivcli/progress.h"

#include <cstdio>

#include "kivcli/output.h"

namespace kivcli {
namespace {

using Clock = std::chrono::steady_clock;

// The line is rewritten at most this often, and the automatic mode waits
// this long before it shows anything: a run that ends sooner prints nothing.
constexpr auto redraw_every = std::chrono::milliseconds(250);
constexpr auto automatic_delay = std::chrono::seconds(1);

}  // namespace

std::string human_bytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

Progress::Progress(Mode mode, std::int64_t total)
    : mode_(mode),
      terminal_(error_is_terminal()),
      total_(total),
      started_(Clock::now()),
      last_shown_(started_) {}

void Progress::update(std::int64_t done) {
    done_ = done;
    if (mode_ == Mode::never || !terminal_) {
        return;
    }
    const auto now = Clock::now();
    const bool due = shown_ ? now - last_shown_ >= redraw_every
                            : mode_ == Mode::always || now - started_ >= automatic_delay;
    if (due) {
        last_shown_ = now;
        show(false);
    }
}

bool Progress::may_show() const {
    return mode_ == Mode::always || (mode_ == Mode::automatic && terminal_);
}

void Progress::finish() {
    if (shown_ || (mode_ == Mode::always && !terminal_)) {
        show(true);
    }
}

// On a terminal the line is redrawn in place ('\r', then cleared to its
// end); elsewhere it is written once, whole.
void Progress::show(bool final) {
    const double seconds =
        std::chrono::duration<double>(Clock::now() - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    const int percent = total_ > 0 ? static_cast<int>(100.0 * static_cast<double>(done_) /
                                                      static_cast<double>(total_))
                                   : 100;
    print_error(std::string(terminal_ ? "\r" : "") + human_bytes(static_cast<double>(done_)) +
                " of " + human_bytes(static_cast<double>(total_)) + " (" +
                std::to_string(percent) + "%), " + human_bytes(rate) + "/s" +
                (terminal_ ? "\033[K" : "") + (final ? "\n" : ""));
    shown_ = true;
}

}  // namespace kivcli

// SPDX-License-Identifier: Zlib
#include "messages.h"

#include <cstdio>

#include "engine.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "system.h"

namespace kivsubst_cli {
namespace {

using kivcli::quoted;
using kivsubst::engine::Failure;

// A directory as messages show it: without the separator that ends it.
std::string shown_directory(const kivsubst::engine::Path& path) {
    std::string shown = shown_path(kivsubst::engine::directory_part(path));
    while (shown.size() > 1 && (shown.back() == '/' || shown.back() == '\\')) {
        shown.pop_back();
    }
    return shown.empty() ? "." : shown;
}

}  // namespace

std::string failure_message(const Target& target, const Failure& failure, int code) {
    const std::string temporary = shown_path(failure.temporary);
    std::string what;
    switch (failure.step) {
        case Failure::Step::temporary_name:
            what = "no temporary file name is free in " + quoted(temporary);
            break;
        case Failure::Step::open_file:
            what = "cannot open: " + failure.reason();
            break;
        case Failure::Step::create_temporary:
            what = "cannot create a temporary file in " +
                   quoted(shown_directory(failure.temporary)) + ": " + failure.reason();
            break;
        case Failure::Step::memory:
            what = "out of memory";
            break;
        case Failure::Step::write_temporary:
            what = "cannot write the temporary file " + quoted(temporary) + ": " + failure.reason();
            break;
        case Failure::Step::write_back:
            what = "cannot write the result back: " + failure.reason();
            break;
        case Failure::Step::keep_companion:
            what = "cannot make its backup durable: " + failure.reason();
            break;
        case Failure::Step::stopped:
            what = "stopped: " + failure.reason();
            break;
        case Failure::Step::encoding:
            what = "cannot patch it as text: " + failure.reason();
            break;
    }
    what = quoted(target.shown) + ": " + what + " (" + std::to_string(code) + ")";
    if (failure.temporary_kept) {
        what += "; the result is kept in " + quoted(temporary);
    }
    return what;
}

void print_library_lines_here() {
    static const kivsubst::engine::Destination here = {
        [](const std::string& line) {
            kivcli::print(line);
            std::fflush(stdout);
        },
        shown_path};
    kivsubst::engine::send_lines_to(&here);
}

}  // namespace kivsubst_cli

// SPDX-License-Identifier: Zlib
#include "report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "kivcommon/escape.h"
#include "kivsubst.h"
#include "platform.h"

namespace kivsubst::report {
namespace {

// Set by a front end before its first call; read by every call, on any
// thread.
std::atomic<const Destination*> destination{nullptr};

// Prints one line on standard output (or where a front end has it go),
// flushes it and returns `code`.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int say(int code, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const Destination* const where = destination.load();
    if (where == nullptr) {
        std::vprintf(format, arguments);
        std::fflush(stdout);
    } else {
        std::va_list again;
        va_copy(again, arguments);
        std::string line(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, again)),
                         '\0');
        va_end(again);
        std::vsnprintf(line.data(), line.size() + 1, format, arguments);
        where->write(line);
    }
    va_end(arguments);
    return code;
}

std::string name_of(const Path& path) {
    const Destination* const where = destination.load();
    return where != nullptr ? where->name(path) : platform::narrow_path(path);
}

// A name as it goes into a line: control bytes (line feeds, carriage
// returns, escape sequences) are written as a backslash and three octal
// digits, so that a name can neither drive the terminal nor forge a line of
// its own in a log. Every other byte is written as it is.
std::string printable(const std::string& name) {
    const auto control = [](unsigned char byte) { return byte < 0x20 || byte == 0x7f; };
    return kivcommon::escape_bytes(name, control, kivcommon::ByteEscape::octal);
}

}  // namespace

void send_lines_to(const Destination* where) {
    destination = where;
}

int no_temp_name() {
    return say(KIVSUBST_NO_TEMP_NAME, "Cannot create temporary file; rc=%d\n",
               KIVSUBST_NO_TEMP_NAME);
}

int cannot_open(const char* path) {
    return say(KIVSUBST_CANNOT_OPEN, "Cannot open %s; rc=%d\n", printable(path).c_str(),
               KIVSUBST_CANNOT_OPEN);
}

int cannot_open(const Path& path) {
    return cannot_open(name_of(path).c_str());
}

int cannot_open_temp(const Path& name) {
    return say(KIVSUBST_NO_TEMP_FILE, "Cannot open temporary file %s; rc=%d\n",
               printable(name_of(name)).c_str(), KIVSUBST_NO_TEMP_FILE);
}

int no_memory() {
    return say(KIVSUBST_NO_MEMORY, "Memory allocation error; rc=%d\n", KIVSUBST_NO_MEMORY);
}

int copy_error() {
    return say(KIVSUBST_COPY_ERROR, "File copy error\n");
}

int bad_encoding(const Path& path) {
    return say(KIVSUBST_BAD_ENCODING, "Cannot match the encoding of %s; rc=%d\n",
               printable(name_of(path)).c_str(), KIVSUBST_BAD_ENCODING);
}

int invalid_argument() {
    return say(KIVSUBST_INVALID_ARGUMENT, "Invalid argument; rc=%d\n", KIVSUBST_INVALID_ARGUMENT);
}

}  // namespace kivsubst::report

// SPDX-License-Identifier: Zlib
#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "kivsubst.h"
#include "platform.h"

namespace kivsubst::report {
namespace {

// Prints one line on standard output, flushes it and returns `code`.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int say(int code, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return code;
}

// A name as it goes into a line: control bytes (line feeds, carriage
// returns, escape sequences) are written as a backslash and three octal
// digits, so that a name can neither drive the terminal nor forge a line of
// its own in a log. Every other byte is written as it is.
std::string printable(const std::string& name) {
    std::string shown;
    shown.reserve(name.size());
    for (char character : name) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            shown += escaped;
        } else {
            shown += character;
        }
    }
    return shown;
}

}  // namespace

int no_temp_name() {
    return say(KIVSUBST_NO_TEMP_NAME, "Cannot create temporary file; rc=%d\n",
               KIVSUBST_NO_TEMP_NAME);
}

int cannot_open(const char* path) {
    return say(KIVSUBST_CANNOT_OPEN, "Cannot open %s; rc=%d\n", printable(path).c_str(),
               KIVSUBST_CANNOT_OPEN);
}

int cannot_open(const Path& path) {
    return cannot_open(platform::narrow_path(path).c_str());
}

int cannot_open_temp(const Path& name) {
    return say(KIVSUBST_NO_TEMP_FILE, "Cannot open temporary file %s; rc=%d\n",
               printable(platform::narrow_path(name)).c_str(), KIVSUBST_NO_TEMP_FILE);
}

int no_memory() {
    return say(KIVSUBST_NO_MEMORY, "Memory allocation error; rc=%d\n", KIVSUBST_NO_MEMORY);
}

int copy_error() {
    return say(KIVSUBST_COPY_ERROR, "File copy error\n");
}

int invalid_argument() {
    return say(KIVSUBST_INVALID_ARGUMENT, "Invalid argument; rc=%d\n", KIVSUBST_INVALID_ARGUMENT);
}

}  // namespace kivsubst::report

// SPDX-License-Identifier: Zlib
#include "kivcli/quote.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kivcli {
namespace {

// Whether the locale the program runs in takes UTF-8, by the variables
// that choose it (the first one set counts), without switching the
// program's own locale. Windows consoles show the ANSI code page, whose
// bytes above 127 are characters, never controls.
bool locale_is_utf8() {
#if defined(_WIN32)
    return true;
#else
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string lowered;
        for (const char* c = value; *c != '\0'; ++c) {
            if (*c != '-') {
                lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
            }
        }
        return lowered.find("utf8") != std::string::npos;
    }
    return false;
#endif
}

// The length of the printable character that starts at `at`, or 0 when
// the byte there must be escaped.
std::size_t printable_length(const std::string& name, std::size_t at, bool utf8) {
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte < 0x80) {
        return byte >= 0x20 && byte != 0x7f ? 1 : 0;
    }
    if (!utf8) {
        return 0;
    }
    std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 0;
    if (length == 0 || byte > 0xf4 || at + length > name.size()) {
        return 0;
    }
    unsigned long code = byte & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(name[at + i]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3fu);
    }
    const unsigned long shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool overlong = code < shortest[length];
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    const bool c1_control = code <= 0x9f;
    return overlong || surrogate || c1_control || code > 0x10ffff ? 0 : length;
}

// One byte in the $'...' form.
std::string escaped(unsigned char byte) {
    switch (byte) {
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default: {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            return octal;
        }
    }
}

}  // namespace

std::string quoted(const std::string& name, bool utf8_locale) {
    // Runs of printable text go in '...', runs of other bytes in $'...'.
    enum class Run { none, quotes, escapes };
    std::string shown;
    Run run = Run::none;
    const auto enter = [&](Run wanted) {
        if (run != wanted) {
            shown += run != Run::none ? "'" : "";
            shown += wanted == Run::escapes ? "$'" : "'";
            run = wanted;
        }
    };
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printable_length(name, at, utf8_locale);
        if (length == 0) {
            enter(Run::escapes);
            shown += escaped(static_cast<unsigned char>(name[at]));
            ++at;
        } else {
            enter(Run::quotes);
            if (name[at] == '\'') {
                shown += "'\\''";
            } else {
                shown.append(name, at, length);
            }
            at += length;
        }
    }
    if (run != Run::none) {
        shown += '\'';
    }
    return shown.empty() ? "''" : shown;
}

std::string quoted(const std::string& name) {
    static const bool utf8 = locale_is_utf8();
    return quoted(name, utf8);
}

}  // namespace kivcli

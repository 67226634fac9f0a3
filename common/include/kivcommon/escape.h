/* SPDX-License-Identifier: Zlib */
// Bytes written so that a line shows them without acting on them: each
// byte picked out as a backslash and its number, every other as it is.
#ifndef KIVCOMMON_ESCAPE_H
#define KIVCOMMON_ESCAPE_H

#include <cstdio>
#include <string>

namespace kivcommon {

enum class ByteEscape {
    octal,  // \ooo, three octal digits
    hex,    // \xHH, two capital hex digits
};

// `text` with every byte for which `picks(byte)` holds escaped as `style`
// says.
template <typename Picks>
std::string escape_bytes(const std::string& text, Picks picks, ByteEscape style) {
    std::string shown;
    shown.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (!picks(byte)) {
            shown += character;
            continue;
        }
        char escaped[5];
        if (style == ByteEscape::octal) {
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
        } else {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        }
        shown += escaped;
    }
    return shown;
}

}  // namespace kivcommon

#endif

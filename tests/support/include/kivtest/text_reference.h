/* SPDX-License-Identifier: Zlib */
// Text as a file holds it, for the reference of replaceText and of the
// front end's --encoding: code points written in UTF-8, UTF-16 (either byte
// order) or Latin-1, and every occurrence of a text replaced among code
// points, from left to right without overlap. Written apart from the
// library's own encoder, so that the two can be compared.
#ifndef KIVTEST_TEXT_REFERENCE_H
#define KIVTEST_TEXT_REFERENCE_H

#include <string>

namespace kivtest {

inline std::string utf8_of(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::u16string utf16_of(const std::u32string& text) {
    std::u16string out;
    for (char32_t c : text) {
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

inline std::string utf16_bytes(const std::u32string& text, bool big_endian) {
    std::string out;
    for (char16_t unit : utf16_of(text)) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

// Code page 1252 for the Latin-1 range, which is all the ANSI cases use.
inline std::string latin1_of(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        out += static_cast<char>(c);
    }
    return out;
}

inline std::u32string replaced(std::u32string text, const std::u32string& old_text,
                        const std::u32string& new_text) {
    for (std::size_t at = text.find(old_text); at != std::u32string::npos;
         at = text.find(old_text, at + new_text.size())) {
        text.replace(at, old_text.size(), new_text);
    }
    return text;
}

}  // namespace kivtest

#endif

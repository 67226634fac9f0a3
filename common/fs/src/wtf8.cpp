// SPDX-License-Identifier: Zlib
#include "kivfs/wtf8.h"

#include <cstdint>

namespace kivfs {
namespace {

bool is_high_surrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_code_point(std::string& text, std::uint32_t point) {
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// The code point that starts at `at` and how many bytes it takes; 0 bytes
// for what is no WTF-8.
std::size_t decode(const std::string& text, std::size_t at, std::uint32_t& point) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                                                       : lead < 0xF5 ? 4 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return point >= least[length] && point <= 0x10FFFF ? length : 0;
}

}  // namespace

std::string wtf8_from_utf16(const std::u16string& units) {
    std::string text;
    text.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t point = units[i];
        if (is_high_surrogate(point) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        append_code_point(text, point);
    }
    return text;
}

bool utf16_from_wtf8(const std::string& text, std::u16string& units) {
    units.clear();
    units.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t point = 0;
        const std::size_t length = decode(text, at, point);
        if (length == 0) {
            return false;
        }
        // A pair written as two lone surrogates would read back as one
        // character: WTF-8 writes a pair only in its four-byte form.
        if (is_low_surrogate(point) && !units.empty() && is_high_surrogate(units.back()) &&
            at >= 3 && static_cast<unsigned char>(text[at - 3]) == 0xED) {
            return false;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (point >> 10));
            units += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
        } else {
            units += static_cast<char16_t>(point);
        }
        at += length;
    }
    return true;
}

}  // namespace kivfs

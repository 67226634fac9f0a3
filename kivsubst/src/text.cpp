// SPDX-License-Identifier: Zlib
#include "text.h"

#include "platform.h"

namespace kivsubst::text {
namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

void append_utf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out.push_back(static_cast<char16_t>(code_point));
        return;
    }
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

void append_utf8(std::string& out, char32_t code_point) {
    const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (code_point < 0x80) {
        byte(code_point);
    } else if (code_point < 0x800) {
        byte(0xC0 | (code_point >> 6));
        byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        byte(0xE0 | (code_point >> 12));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    } else {
        byte(0xF0 | (code_point >> 18));
        byte(0x80 | ((code_point >> 12) & 0x3F));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    }
}

std::string utf16_bytes(const std::u16string& text, bool big_endian) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t unit : text) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        out.push_back(big_endian ? high : low);
        out.push_back(big_endian ? low : high);
    }
    return out;
}

// UTF-16 that holds only whole surrogate pairs, as UTF-8.
std::string utf8_bytes(const std::u16string& text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code_point = text[i];
        if (is_high_surrogate(code_point)) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[++i] - 0xDC00U);
        }
        append_utf8(out, code_point);
    }
    return out;
}

}  // namespace

bool is_encoding(std::int32_t value) {
    return value >= static_cast<std::int32_t>(Encoding::from_mark) &&
           value <= static_cast<std::int32_t>(Encoding::ansi);
}

Mark mark_of(const unsigned char* head, std::size_t size) {
    if (size >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
        return {Encoding::utf8, 3};
    }
    if (size >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        return {Encoding::utf16le, 2};
    }
    if (size >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
        return {Encoding::utf16be, 2};
    }
    return {};
}

bool contradicts(const Mark& mark, Encoding named) {
    if (!mark.encoding || *mark.encoding == named || named == Encoding::from_mark) {
        return false;
    }
    const bool utf16 = named == Encoding::utf16le || named == Encoding::utf16be;
    return !(utf16 && *mark.encoding == Encoding::utf8);
}

const char* name_of(Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return "UTF-8";
        case Encoding::utf16le:
            return "UTF-16LE";
        case Encoding::utf16be:
            return "UTF-16BE";
        case Encoding::ansi:
            return "the ANSI code page";
        case Encoding::from_mark:
            break;
    }
    return "the encoding its mark names";
}

const char* mark_bytes_of(Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return "EF BB BF";
        case Encoding::utf16le:
            return "FF FE";
        case Encoding::utf16be:
            return "FE FF";
        case Encoding::ansi:
        case Encoding::from_mark:
            break;
    }
    return "";
}

std::optional<std::u16string> from_utf8(const char* text) {
    std::u16string out;
    Utf8Check check;
    std::size_t i = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (; bytes[i] != 0; ++i) {
        if (!check.feed(bytes + i, 1)) {
            return std::nullopt;
        }
    }
    if (!check.complete()) {
        return std::nullopt;
    }
    for (std::size_t at = 0; at < i;) {
        const unsigned char lead = bytes[at];
        const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t code_point = more == 0 ? lead : lead & (0x3FU >> more);
        for (int k = 1; k <= more; ++k) {
            code_point = (code_point << 6) | (bytes[at + static_cast<std::size_t>(k)] & 0x3FU);
        }
        append_utf16(out, code_point);
        at += static_cast<std::size_t>(more) + 1;
    }
    return out;
}

std::optional<std::u16string> from_utf16(const char16_t* text) {
    std::u16string out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        if (is_high_surrogate(text[i]) && is_low_surrogate(text[i + 1])) {
            out.push_back(text[i]);
            out.push_back(text[++i]);
        } else if (is_high_surrogate(text[i]) || is_low_surrogate(text[i])) {
            return std::nullopt;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::optional<std::string> encode(const std::u16string& text, Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return utf8_bytes(text);
        case Encoding::utf16le:
            return utf16_bytes(text, false);
        case Encoding::utf16be:
            return utf16_bytes(text, true);
        case Encoding::ansi:
            return platform::ansi_from_utf16(text);
        case Encoding::from_mark:
            break;
    }
    return std::nullopt;
}

// A lead byte sets how many continuation bytes follow and the bounds of
// the first (E0 and F0 exclude overlong forms, ED the surrogates, F4 what
// lies past U+10FFFF); every later continuation byte is 80-BF.
bool Utf8Check::feed(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size && valid_; ++i) {
        const unsigned char byte = bytes[i];
        if (needed_ > 0) {
            valid_ = byte >= low_ && byte <= high_;
            --needed_;
            low_ = 0x80;
            high_ = 0xBF;
            continue;
        }
        if (byte < 0x80) {
            continue;
        }
        if (byte >= 0xC2 && byte <= 0xDF) {
            needed_ = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            needed_ = 2;
            low_ = byte == 0xE0 ? 0xA0 : 0x80;
            high_ = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            needed_ = 3;
            low_ = byte == 0xF0 ? 0x90 : 0x80;
            high_ = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            valid_ = false;
        }
    }
    return valid_;
}

}  // namespace kivsubst::text

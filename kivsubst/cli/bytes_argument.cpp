// SPDX-License-Identifier: Zlib
#include "bytes_argument.h"

#include <cstddef>
#include <cstdint>

namespace kivsubst_cli {
namespace {

// The value of a hex digit, or -1 for any other character.
int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

char byte_of(std::uint32_t value) {
    return static_cast<char>(static_cast<unsigned char>(value & 0xFFu));
}

// "0xHH", so that an unprintable byte can be named in a message.
std::string hex_name(unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    std::string name = "0x";
    name += digits[byte >> 4];
    name += digits[byte & 0x0Fu];
    return name;
}

// Positions in messages count from 1, as a person reading the argument would.
std::string position(std::size_t index) {
    return std::to_string(index + 1);
}

// Text as bytes: each run of characters between escapes goes through
// `characters` (where given), each escape is its byte.
bool unescape(const std::string& text, std::string& bytes, std::string& error,
              TextBytes characters = nullptr) {
    bytes.clear();
    std::string run;
    auto end_run = [&] {
        std::string converted;
        if (characters != nullptr && !run.empty() && !characters(run, converted, error)) {
            return false;
        }
        bytes += characters != nullptr ? converted : run;
        run.clear();
        return true;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            run += text[i];
            continue;
        }
        if (!end_run()) {
            return false;
        }
        const std::size_t backslash = i;
        if (++i == text.size()) {
            error = "a lone backslash ends the text (write \\\\ for a backslash)";
            return false;
        }
        switch (text[i]) {
            case '0':
                bytes += '\0';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 'r':
                bytes += '\r';
                break;
            case 't':
                bytes += '\t';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                // Exactly two digits, so that the byte after them is never
                // swallowed into the escape.
                const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    error = "\\x at position " + position(backslash) + " needs two hex digits";
                    return false;
                }
                bytes += byte_of(static_cast<std::uint32_t>(high * 16 + low));
                i += 2;
                break;
            }
            default: {
                const auto byte = static_cast<unsigned char>(text[i]);
                const std::string shown = byte > 0x20 && byte < 0x7F ? std::string(1, text[i])
                                                                      : hex_name(byte);
                error = "unknown escape \\" + shown + " at position " + position(backslash);
                return false;
            }
        }
    }
    return end_run();
}

bool decode_hex(const std::string& text, std::string& bytes, std::string& error) {
    bytes.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (hex_value(text[i]) < 0) {
            error = "not a hex digit at position " + position(i);
            return false;
        }
        // A space may only come between bytes, never inside one.
        if (i + 1 == text.size() || text[i + 1] == ' ') {
            error = "the hex digit at position " + position(i) +
                    " has no partner (each byte is two digits)";
            return false;
        }
        if (hex_value(text[i + 1]) < 0) {
            error = "not a hex digit at position " + position(i + 1);
            return false;
        }
        const int value = hex_value(text[i]) * 16 + hex_value(text[i + 1]);
        bytes += byte_of(static_cast<std::uint32_t>(value));
        i += 2;
    }
    return true;
}

void append_code_unit(std::string& bytes, std::uint32_t unit) {
    bytes += byte_of(unit);
    bytes += byte_of(unit >> 8);
}

// Rejects every sequence that is not the one shortest encoding of a Unicode
// scalar value: a pattern built from malformed input would silently search
// for something other than what the user typed.
bool encode_utf16le(const std::string& utf8, std::string& bytes, std::string& error) {
    bytes.clear();
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 1;
        std::uint32_t code_point = lead;
        std::uint32_t smallest = 0;
        if (lead >= 0xC0 && lead < 0xE0) {
            length = 2;
            code_point = lead & 0x1Fu;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            length = 3;
            code_point = lead & 0x0Fu;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead < 0xF8) {
            length = 4;
            code_point = lead & 0x07u;
            smallest = 0x10000;
        } else if (lead >= 0x80) {
            error = "not UTF-8: byte " + hex_name(lead) + " at byte " + position(i) +
                    " cannot start a character";
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const bool continues = i + k < utf8.size() &&
                                   (static_cast<unsigned char>(utf8[i + k]) & 0xC0u) == 0x80u;
            if (!continues) {
                error = "not UTF-8: the character at byte " + position(i) + " is incomplete";
                return false;
            }
            code_point = (code_point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        }
        if (code_point < smallest) {
            error = "not UTF-8: the character at byte " + position(i) + " is overlong";
            return false;
        }
        if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            error = "not UTF-8: the character at byte " + position(i) + " is a surrogate";
            return false;
        }
        if (code_point > 0x10FFFF) {
            error = "not UTF-8: the character at byte " + position(i) + " is beyond U+10FFFF";
            return false;
        }
        if (code_point < 0x10000) {
            append_code_unit(bytes, code_point);
        } else {
            const std::uint32_t offset = code_point - 0x10000;
            append_code_unit(bytes, 0xD800 + (offset >> 10));
            append_code_unit(bytes, 0xDC00 + (offset & 0x3FFu));
        }
        i += length;
    }
    return true;
}

}  // namespace

bool decode_argument(const std::string& argument, Encoding encoding, std::string& bytes,
                     std::string& error, Escapes escapes, TextBytes text) {
    const bool literal = escapes == Escapes::literal;
    switch (encoding) {
        case Encoding::escaped_text:
            if (literal) {
                // Empty text has no characters to convert, as an empty run
                // between escapes has none.
                bytes = argument;
                return text == nullptr || argument.empty() || text(argument, bytes, error);
            }
            return unescape(argument, bytes, error, text);
        case Encoding::hex:
            return decode_hex(argument, bytes, error);
        case Encoding::utf16le: {
            std::string utf8 = argument;
            return (literal || unescape(argument, utf8, error)) &&
                   encode_utf16le(utf8, bytes, error);
        }
    }
    error = "unknown encoding";
    return false;
}

}  // namespace kivsubst_cli

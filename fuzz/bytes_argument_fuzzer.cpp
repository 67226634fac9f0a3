// SPDX-License-Identifier: Zlib
// The front end's argument decoder, fed whatever a shell could pass: any
// bytes up to the first NUL, in each of the three encodings. Besides not
// crashing, each encoding must keep the promises a user relies on when
// writing a pattern by hand, checked here by round trips through encoders
// written independently of the decoder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bytes_argument.h"

#define CHECK(condition)                                                                     \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "bytes_argument_fuzzer: %s failed (line %d)\n", #condition, \
                         __LINE__);                                                          \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

namespace {

using kivsubst_cli::Encoding;

struct Decoded {
    bool ok;
    std::string bytes;
};

// A failure must come with a reason that fits on the one line the front end
// prints.
Decoded decode(const std::string& argument, Encoding encoding) {
    Decoded decoded{false, {}};
    std::string error;
    decoded.ok = kivsubst_cli::decode_argument(argument, encoding, decoded.bytes, error);
    if (!decoded.ok) {
        CHECK(!error.empty() && error.find('\n') == std::string::npos);
    }
    return decoded;
}

const char digits[] = "0123456789abcdef";

std::string to_hex(const std::string& bytes) {
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15u];
    }
    return hex;
}

// Every byte as a \xHH escape.
std::string to_escapes(const std::string& bytes) {
    std::string escaped;
    for (unsigned char byte : bytes) {
        escaped += "\\x";
        escaped += digits[byte >> 4];
        escaped += digits[byte & 15u];
    }
    return escaped;
}

void append_utf8(std::string& utf8, std::uint32_t code_point) {
    auto byte = [&](std::uint32_t value) {
        utf8 += static_cast<char>(static_cast<unsigned char>(value));
    };
    if (code_point < 0x80) {
        byte(code_point);
    } else if (code_point < 0x800) {
        byte(0xC0 | code_point >> 6);
        byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        byte(0xE0 | code_point >> 12);
        byte(0x80 | (code_point >> 6 & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    } else {
        byte(0xF0 | code_point >> 18);
        byte(0x80 | (code_point >> 12 & 0x3F));
        byte(0x80 | (code_point >> 6 & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    }
}

// UTF-16LE back to UTF-8. A lone surrogate comes back as its own three bytes,
// which no valid UTF-8 holds, so emitting one can never pass the round trip.
std::string utf8_of_utf16le(const std::string& utf16) {
    auto unit = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(utf16[i]) |
                                          static_cast<unsigned char>(utf16[i + 1]) << 8);
    };
    std::string utf8;
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
        std::uint32_t code_point = unit(i);
        if (code_point >= 0xD800 && code_point < 0xDC00 && i + 3 < utf16.size() &&
            unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        }
        append_utf8(utf8, code_point);
    }
    return utf8;
}

bool is_hex_digit(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// Printable ASCII that the escaped-text encoding takes as itself.
bool is_plain_printable(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '\\';
}

bool is_ascii(unsigned char c) {
    return c < 0x80;
}

bool all_of(const std::string& text, bool (*keep)(unsigned char)) {
    for (unsigned char c : text) {
        if (!keep(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* const text = reinterpret_cast<const char*>(data);
    const std::string argument(text, strnlen(text, size));

    // Hex: what decodes is exactly the argument's digit pairs, so the bytes
    // written back as lowercase digits are the argument without its spaces,
    // and decode to the same bytes again.
    const Decoded hex = decode(argument, Encoding::hex);
    if (hex.ok) {
        std::string compact;
        for (char c : argument) {
            if (c != ' ') {
                compact += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
            }
        }
        CHECK(to_hex(hex.bytes) == compact);
        const Decoded again = decode(to_hex(hex.bytes), Encoding::hex);
        CHECK(again.ok && again.bytes == hex.bytes);
    }
    if (argument.size() % 2 == 0 && all_of(argument, is_hex_digit)) {
        CHECK(hex.ok);
    }

    // Escaped text: plain printable text is taken byte for byte, and any
    // bytes at all survive being written as \xHH escapes.
    const Decoded escaped = decode(argument, Encoding::escaped_text);
    if (all_of(argument, is_plain_printable)) {
        CHECK(escaped.ok && escaped.bytes == argument);
    }
    if (escaped.ok) {
        const Decoded again = decode(to_escapes(escaped.bytes), Encoding::escaped_text);
        CHECK(again.ok && again.bytes == escaped.bytes);
    }

    // UTF-16LE: whole code units only, even in partial output after a
    // failure. ASCII text becomes each byte followed by 0x00, and any success
    // converts back to exactly the UTF-8 the escapes spelt.
    const Decoded utf16 = decode(argument, Encoding::utf16le);
    CHECK(utf16.bytes.size() % 2 == 0);
    if (escaped.ok && all_of(escaped.bytes, is_ascii)) {
        std::string widened;
        for (char c : escaped.bytes) {
            widened += c;
            widened += '\0';
        }
        CHECK(utf16.ok && utf16.bytes == widened);
    }
    if (utf16.ok) {
        CHECK(escaped.ok && utf8_of_utf16le(utf16.bytes) == escaped.bytes);
    }
    return 0;
}

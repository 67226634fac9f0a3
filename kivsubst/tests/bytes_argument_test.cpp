// SPDX-License-Identifier: Zlib
// decode_argument: the three ways a command-line argument names raw bytes.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bytes_argument.h"

namespace {

using kivsubst_cli::Encoding;

struct Decoded {
    bool ok = false;
    std::string bytes;
    std::string error;
};

Decoded decode(const std::string& argument, Encoding encoding) {
    Decoded decoded;
    decoded.ok = kivsubst_cli::decode_argument(argument, encoding, decoded.bytes, decoded.error);
    return decoded;
}

std::string bytes(std::initializer_list<int> values) {
    std::string result;
    for (int value : values) {
        result += static_cast<char>(static_cast<unsigned char>(value));
    }
    return result;
}

void expect_decodes(const std::vector<std::pair<std::string, std::string>>& cases,
                    Encoding encoding) {
    for (const auto& [argument, expected] : cases) {
        Decoded decoded = decode(argument, encoding);
        EXPECT_TRUE(decoded.ok) << argument << ": " << decoded.error;
        EXPECT_EQ(decoded.bytes, expected) << argument;
    }
}

void expect_rejects(const std::vector<std::string>& arguments, Encoding encoding) {
    for (const auto& argument : arguments) {
        Decoded decoded = decode(argument, encoding);
        EXPECT_FALSE(decoded.ok) << argument << " gave " << decoded.bytes.size() << " bytes";
        EXPECT_NE(decoded.error, "") << argument;
        EXPECT_EQ(decoded.error.find('\n'), std::string::npos) << decoded.error;
    }
}

TEST(BytesArgumentText, KeepsPlainBytesAndDecodesEachEscape) {
    expect_decodes({{"plain text", "plain text"},
                    {"", ""},
                    {"\\0", bytes({0})},
                    {"\\n\\r\\t", "\n\r\t"},
                    {"\\\\", "\\"},
                    {"\\x41\\xfF\\x00", bytes({0x41, 0xFF, 0})},
                    // \x takes exactly two digits and \0 is not an octal escape.
                    {"\\x414", "A4"},
                    {"\\012", bytes({0, '1', '2'})},
                    {"caf\xC3\xA9", "caf\xC3\xA9"}},
                   Encoding::escaped_text);
}

TEST(BytesArgumentText, RejectsUnknownIncompleteAndTrailingEscapes) {
    expect_rejects({"\\q", "\\a", "\\1", "\\X41", "\\x", "\\x4", "\\x4g", "ab\\"},
                   Encoding::escaped_text);
    EXPECT_NE(decode("ab\\q", Encoding::escaped_text).error.find("position 3"), std::string::npos);
}

TEST(BytesArgumentHex, DecodesPairsInEitherCaseWithOrWithoutSpaces) {
    expect_decodes({{"48656c6C6F", "Hello"},
                    {"48 65  6c 6C 6F", "Hello"},
                    {" 00ff ", bytes({0, 0xFF})},
                    {"", ""}},
                   Encoding::hex);
}

TEST(BytesArgumentHex, RejectsOddDigitCountsSplitPairsAndOtherCharacters) {
    expect_rejects({"414", "4", "4 1", "41 4", "4g", "g4", "0x41", "41\t42", "41,42", "\\x41"},
                   Encoding::hex);
}

TEST(BytesArgumentUtf16le, EncodesEachUtf8LengthAsLittleEndianUnits) {
    expect_decodes({{"AB", bytes({'A', 0, 'B', 0})},
                    {"\\0", bytes({0, 0})},
                    {"\xC3\xA9", bytes({0xE9, 0})},                     // U+00E9, two bytes
                    {"\\xC3\\xA9", bytes({0xE9, 0})},                   // escapes come first
                    {"\xE2\x82\xAC", bytes({0xAC, 0x20})},              // U+20AC, three bytes
                    {"\xF0\x9F\x98\x80", bytes({0x3D, 0xD8, 0x00, 0xDE})},  // U+1F600, a pair
                    // The edges of each form and of the surrogate gap.
                    {"\xC2\x80", bytes({0x80, 0})},
                    {"\xE0\xA0\x80", bytes({0x00, 0x08})},
                    {"\xED\x9F\xBF", bytes({0xFF, 0xD7})},
                    {"\xEE\x80\x80", bytes({0x00, 0xE0})},
                    {"\xEF\xBF\xBF", bytes({0xFF, 0xFF})},
                    {"\xF0\x90\x80\x80", bytes({0x00, 0xD8, 0x00, 0xDC})},
                    {"\xF4\x8F\xBF\xBF", bytes({0xFF, 0xDB, 0xFF, 0xDF})}},
                   Encoding::utf16le);
}

TEST(BytesArgumentUtf16le, RejectsMalformedUtf8) {
    expect_rejects({// Overlong forms.
                    "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                    // Surrogates written as UTF-8.
                    "\xED\xA0\x80", "\xED\xBF\xBF",
                    // Beyond U+10FFFF, and bytes that never start a character.
                    "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8", "\xFF", "\x80", "a\\xBF",
                    // Truncated, at the end or by a byte that does not continue.
                    "\xC3", "\xE2\x82", "a\xF0\x9F\x98", "\xC3" "A", "\xE2\x82" "A",
                    // Escape errors still count.
                    "\\q"},
                   Encoding::utf16le);
}

}  // namespace

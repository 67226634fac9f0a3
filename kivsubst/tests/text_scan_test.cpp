// SPDX-License-Identifier: Zlib
// The scan's own alignment at block sizes that cut characters at every
// place: a double-byte code page's characters, UTF-16BE's units with -i and
// -w, the UTF-8 check carried across pieces; and the encoder's refusals.
#include <gtest/gtest.h>

#include <string>

#include "internal_fixtures.h"
#include "text.h"

namespace {

using kivsubst::Matching;
using kivtest::Scan;

// Shift_JIS's lead bytes: 81-9F and E0-FC.
Matching shift_jis() {
    Matching matching;
    matching.units = Matching::Units::double_byte;
    for (unsigned byte = 0; byte < 256; ++byte) {
        matching.lead_bytes[byte] = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    }
    return matching;
}

// "A" is the second byte of 0x83 0x41 and must not be taken from it, nor
// "\x83\x41" from the second byte of 0x83 0x83 and the "A" after it. At
// every block size, so that the map of character starts is carried over.
TEST_F(Scan, MatchesOnlyWholeCharactersOfADoubleByteCodePage) {
    const std::string input = "\x83" "AA\x83" "A\x83\x83" "A" "\x83\x41" "xA";
    const struct {
        std::string pattern;
        std::string expected;
    } cases[] = {
        {"A", "\x83" "A!\x83" "A\x83\x83" "!" "\x83\x41" "x!"},
        {"A\x83\x41", "\x83" "A!\x83\x83!xA"},
        {"\x83\x41", "!A!\x83\x83" "A!xA"},
    };
    for (const auto& [pattern, expected] : cases) {
        for (std::size_t block : std::initializer_list<std::size_t>{1, 2, 3, 4, 5, 64}) {
            SCOPED_TRACE(::testing::Message() << "pattern " << pattern.size() << ", block " << block);
            std::string output;
            scan(input, static_cast<std::int64_t>(input.size()), {{pattern, "!"}}, shift_jis(),
                 block, output);
            EXPECT_EQ(output, expected);
            scan(input, static_cast<std::int64_t>(input.size()), {{pattern, "!"}, {"zz", "?"}},
                 shift_jis(), block, output);
            EXPECT_EQ(output, expected) << "two pairs";
        }
    }
}

// Big-endian units: a letter's unit is a zero byte, then the letter; -i
// folds those alone and -w looks at whole units; nothing at odd offsets.
TEST_F(Scan, FoldsAndTestsWordsOnBigEndianUnits) {
    Matching matching;
    matching.units = Matching::Units::utf16be;
    matching.ignore_case = true;
    matching.whole_words = true;
    const std::string key("\0K\0e\0y", 6);
    const std::string pattern("\0k\0E\0Y", 6);
    for (std::size_t block : std::initializer_list<std::size_t>{1, 2, 3, 7, 64}) {
        std::string output;
        scan(key + std::string("\0 ", 2) + key + std::string("\0x", 2) + "\x01" + key,
             static_cast<std::int64_t>(6 + 2 + 6 + 2 + 1 + 6), {{pattern, std::string("\0!", 2)}},
             matching, block, output);
        EXPECT_EQ(output, std::string("\0!\0 ", 4) + key + std::string("\0x", 2) + "\x01" + key)
            << "block " << block;
    }
}

// Validity is carried across pieces of any size: a sequence cut between
// them is whole, an overlong form, a surrogate or a cut end is not.
TEST(Utf8Check, CarriesASequenceAcrossPieces) {
    const auto valid = [](const std::string& bytes, std::size_t piece) {
        kivsubst::text::Utf8Check check;
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            check.feed(data + at, std::min(piece, bytes.size() - at));
        }
        return check.complete();
    };
    for (std::size_t piece : std::initializer_list<std::size_t>{1, 2, 3, 100}) {
        EXPECT_TRUE(valid("a\xC5\x81\xE4\xB8\x80\xF0\x9F\x98\x80z", piece));
        EXPECT_TRUE(valid("\xF4\x8F\xBF\xBF\xED\x9F\xBF", piece));
        for (const char* bad : {"\xC0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                "\xF5\x80\x80\x80", "\x80", "a\xE4\xB8", "\xC5" "a"}) {
            EXPECT_FALSE(valid(bad, piece)) << testing::PrintToString(std::string(bad));
        }
    }
}

TEST(TextEncoding, WritesWholeCharactersAndRefusesBrokenText) {
    using kivsubst::text::Encoding;
    const auto units = kivsubst::text::from_utf8("\xC5\x81\xF0\x9F\x98\x80");
    ASSERT_TRUE(units.has_value());
    EXPECT_EQ(*units, u"\u0141\U0001F600");
    EXPECT_EQ(kivsubst::text::encode(*units, Encoding::utf16be),
              std::string("\x01\x41\xD8\x3D\xDE\x00", 6));
    EXPECT_EQ(kivsubst::text::encode(*units, Encoding::utf8), "\xC5\x81\xF0\x9F\x98\x80");
    EXPECT_FALSE(kivsubst::text::from_utf8("\xED\xA0\x80").has_value());
    EXPECT_FALSE(kivsubst::text::from_utf8("\xC5").has_value());
    const char16_t lone_low[] = {u'a', 0xDC00, 0};
    const char16_t lone_high[] = {0xD83D, u'a', 0};
    EXPECT_FALSE(kivsubst::text::from_utf16(lone_low).has_value());
    EXPECT_FALSE(kivsubst::text::from_utf16(lone_high).has_value());
}

}  // namespace

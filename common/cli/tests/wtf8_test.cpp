// SPDX-License-Identifier: Zlib
// WTF-8: every sequence of UTF-16 units a Windows name can be comes back
// exactly, and bytes that are no WTF-8 name nothing.
#include <gtest/gtest.h>

#include <string>

#include "kivcli/wtf8.h"

namespace {

TEST(Wtf8, CarriesEveryWindowsNameExactly) {
    const std::u16string names[] = {
        u"",
        u"app.ini",
        u"\u0141\u00f3d\u017a",           // Łódź, two-byte forms
        u"\u65e5\u672c\u8a9e",            // 日本語, three-byte forms
        u"\U0001F600 emoji",              // a pair, one four-byte form
        std::u16string(1, char16_t(0xD800)) + u"x",  // a lone high surrogate
        u"x" + std::u16string(1, char16_t(0xDFFF)),  // a lone low surrogate
        std::u16string{char16_t(0xDC00), char16_t(0xD800)},  // the pair reversed: two lone ones
    };
    for (const std::u16string& name : names) {
        const std::string text = kivcli::wtf8_from_utf16(name);
        std::u16string back;
        EXPECT_TRUE(kivcli::utf16_from_wtf8(text, back));
        EXPECT_EQ(back, name);
    }
    EXPECT_EQ(kivcli::wtf8_from_utf16(u"\u0141\U0001F600"), "\xC5\x81\xF0\x9F\x98\x80");
}

TEST(Wtf8, RefusesWhatIsNoWtf8) {
    std::u16string units;
    for (const std::string& bad : {
             std::string("\x80"),              // a continuation byte alone
             std::string("\xC0\xAF"),          // an overlong form
             std::string("\xE2\x82"),          // cut short
             std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
             std::string("\xED\xA0\xBD\xED\xB8\x80"),  // a pair as two three-byte forms
         }) {
        EXPECT_FALSE(kivcli::utf16_from_wtf8(bad, units)) << testing::PrintToString(bad);
    }
}

}  // namespace

// SPDX-License-Identifier: Zlib
// The hidden names of the install's own files, through the core's internal
// interface: within the longest name a file system keeps, a long target's
// NAME cut to whole characters, UTF-8 and UTF-16 alike, and marked as cut.
#include <gtest/gtest.h>

#include <string>

#include "kivfs/hidden_names.h"

namespace {

using kivfs::hidden_name_for;
using kivfs::hidden_stem_for;
using kivfs::whole_characters;

// Whether `name` is ".", `stem` and 16 lowercase hex digits.
bool is_stem_and_digits(const std::string& name, const std::string& stem) {
    if (name.size() != stem.size() + 16 || name.compare(0, stem.size(), stem) != 0) {
        return false;
    }
    return name.find_first_not_of("0123456789abcdef", stem.size()) == std::string::npos;
}

// Names short enough keep NAME whole; longer ones are cut so that the
// hidden name is 255 bytes at most, never inside a character, with the
// "." that marks the cut and the digits after the kind.
TEST(InstallNames, CutsALongTargetsNameToWholeCharactersWithinTheLimit) {
    const std::string whole(229, 'a');
    EXPECT_TRUE(is_stem_and_digits(hidden_name_for(whole, "new"), "." + whole + ".kiv-new-"));
    EXPECT_EQ(hidden_name_for(whole, "new").size(), 255u);

    const std::string longer(230, 'a');
    const std::string cut_stem = "." + std::string(228, 'a') + "..kiv-new-";
    EXPECT_EQ(hidden_stem_for(longer, "new"), cut_stem);
    EXPECT_TRUE(is_stem_and_digits(hidden_name_for(longer, "new"), cut_stem));

    // 227 one-byte characters, then four-byte ones: the cut at 228 bytes
    // would fall inside the first of them, so it keeps 227.
    const std::string clef = "\xf0\x9d\x84\x9e";
    const std::string wide = std::string(227, 'c') + clef + clef;
    EXPECT_EQ(hidden_stem_for(wide, "was"), "." + std::string(227, 'c') + "..kiv-was-");
    const std::string two_bytes = std::string(227, 'c') + "\xc3\xa9\xc3\xa9";
    EXPECT_EQ(hidden_stem_for(two_bytes, "old"), "." + std::string(227, 'c') + "..kiv-old-");
    EXPECT_EQ(hidden_name_for(std::string(255, 'z'), "new").size(), 255u);
}

// The cut never splits a UTF-8 sequence or a UTF-16 surrogate pair; a name
// that is not UTF-8 where it is cut is cut there.
TEST(InstallNames, KeepsWholeCharacters) {
    EXPECT_EQ(whole_characters(std::string("ab\xc3\xa9"), 3), 2u);
    EXPECT_EQ(whole_characters(std::string("ab\xc3\xa9"), 4), 4u);
    EXPECT_EQ(whole_characters(std::string("a\xf0\x9d\x84\x9e"), 4), 1u);
    EXPECT_EQ(whole_characters(std::string("a\xf0\x9d\x84\x9e" "b"), 5), 5u);
    EXPECT_EQ(whole_characters(std::string("a\x80\x80\x80\x80\x80"), 5), 5u);
    const std::wstring pair = {L'a', static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
    EXPECT_EQ(whole_characters(pair, 2), 1u);
    EXPECT_EQ(whole_characters(pair, 3), 3u);
    EXPECT_EQ(whole_characters(std::wstring(L"abc"), 2), 2u);
}

}  // namespace

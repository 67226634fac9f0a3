// SPDX-License-Identifier: Zlib
// The hidden names of the install's own files, through the core's internal
// interface: within the longest name a file system keeps, a long target's
// NAME cut to whole characters, UTF-8 and UTF-16 alike, and marked as cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kivfs/hidden_names.h"

namespace {

using kivfs::hidden_name_for;
using kivfs::hidden_stem_for;
using kivfs::numbered_name;
using kivfs::parse_hidden_name;
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

// Every name the system makes for its own files is read back as its kind
// and, for a hidden name, the target it was made for; a cut NAME is told
// as cut. kivsubst's numbered names stay "KIV" and the number.
TEST(InstallNames, ReadsBackEveryKindOfNameItMakes) {
    for (const char* kind : {kivfs::staged_kind, kivfs::set_aside_kind, kivfs::old_kind,
                             kivfs::private_directory_kind}) {
        SCOPED_TRACE(kind);
        const auto read = parse_hidden_name(hidden_name_for("app.ini", kind));
        ASSERT_TRUE(read.has_value());
        EXPECT_TRUE(read->is(kind));
        EXPECT_EQ(read->target, "app.ini");
        EXPECT_FALSE(read->target_is_cut());
        const auto cut = parse_hidden_name(hidden_name_for(std::string(250, 'x'), kind));
        ASSERT_TRUE(cut.has_value());
        EXPECT_TRUE(cut->target_is_cut());
    }
    EXPECT_EQ(numbered_name(0), "KIV0");
    EXPECT_EQ(numbered_name(99999), "KIV99999");
    for (const std::uint32_t number : {0u, 7u, 12345u, 99999u}) {
        const auto read = parse_hidden_name(numbered_name(number));
        ASSERT_TRUE(read.has_value()) << number;
        EXPECT_TRUE(read->is(kivfs::numbered_kind));
        EXPECT_TRUE(read->target.empty());
    }
}

// Names that only resemble ours are not ours: no digits or the wrong
// number of them, capitals, a leading zero, a missing NAME or dot, a kind
// the system never makes, the front end's old ".NAME.kiv-PID" temporaries.
TEST(InstallNames, TakesNoOtherNameForOneOfItsOwn) {
    for (const char* name :
         {"KIV", "KIV012", "KIV123456", "KIV12a", "kiv12", "app.ini", ".app.ini.kiv-new-",
          ".app.ini.kiv-new-0123456789abcde", ".app.ini.kiv-new-0123456789abcdeF",
          ".app.ini.kiv-new-0123456789abcdef0", "..kiv-new-0123456789abcdef",
          "app.ini.kiv-new-0123456789abcdef", ".app.ini.kiv-tmp-0123456789abcdef",
          ".app.ini.kiv-4711", "app.ini~.kiv-4711", ".kivcopy-0123456789abcdef"}) {
        EXPECT_FALSE(parse_hidden_name(name).has_value()) << name;
    }
}

}  // namespace

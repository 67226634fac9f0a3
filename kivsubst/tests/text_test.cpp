// SPDX-License-Identifier: Zlib
// replaceText (and replaceTextW on Windows) against a reference that
// decodes the file, replaces code points and encodes the result again with
// the same mark: every encoding, with and without a mark, both line ends,
// and ASCII, Latin, CJK and emoji text; then the cases that must leave the
// file alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "kivtest/text_reference.h"
#include "subst_fixture.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::write_file;
using kivtest::replaced;
using kivtest::utf16_bytes;
using kivtest::utf16_of;
using kivtest::utf8_of;
#if defined(_WIN32)
using kivtest::latin1_of;
#endif

struct Form {
    const char* name;
    int encoding;      // replaceText's argument
    std::string mark;  // kept as it is
    std::string (*bytes)(const std::u32string&);
};

const Form forms[] = {
    {"UTF-8 by content", 0, "", utf8_of},
    {"UTF-8 by mark", 0, "\xEF\xBB\xBF", utf8_of},
    {"UTF-8 named", 1, "", utf8_of},
    {"UTF-8 named, marked", 1, "\xEF\xBB\xBF", utf8_of},
    {"UTF-16LE by mark", 0, "\xFF\xFE", [](const std::u32string& t) { return utf16_bytes(t, false); }},
    {"UTF-16BE by mark", 0, "\xFE\xFF", [](const std::u32string& t) { return utf16_bytes(t, true); }},
    {"UTF-16LE named", 2, "", [](const std::u32string& t) { return utf16_bytes(t, false); }},
    {"UTF-16BE named", 3, "", [](const std::u32string& t) { return utf16_bytes(t, true); }},
    {"UTF-16LE named, marked", 2, "\xFF\xFE", [](const std::u32string& t) { return utf16_bytes(t, false); }},
};

struct Edit {
    std::u32string text;
    std::u32string old_text;
    std::u32string new_text;
};

// Lines of ASCII, Latin, CJK and emoji text, with the line end put in.
std::vector<Edit> edits(const std::u32string& end) {
    return {
        {U"path=C:\\old" + end + U"x=old" + end, U"old", U"new"},
        {U"city=\u0141\u00f3d\u017a" + end + U"\u0141\u00f3d\u017a!" + end, U"\u0141\u00f3d\u017a",
         U"Krak\u00f3w"},
        {U"\u540d\u524d=\u4e00\u4e8c" + end + U"\u4e8c\u4e00\u4e8c" + end, U"\u4e8c", U"\u4e09\u56db"},
        {U"a\U0001F600b" + end + U"\U0001F600\U0001F600" + end, U"\U0001F600", U""},
        {U"\u4100\u4200\u4300" + end, U"AB", U"XY"},
    };
}

class TextSubstitution : public kivtest::SubstTest {
protected:
    static Call text(const std::string& file, const std::u32string& old_text,
                     const std::u32string& new_text, int encoding) {
        ::testing::internal::CaptureStdout();
        Call made;
        made.result = replaceText(file.c_str(), utf8_of(old_text).c_str(),
                                  utf8_of(new_text).c_str(), encoding);
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    }

#if defined(_WIN32)
    static Call wide(const std::string& file, const std::u32string& old_text,
                     const std::u32string& new_text, int encoding) {
        const std::u16string old_units = utf16_of(old_text);
        const std::u16string new_units = utf16_of(new_text);
        const std::wstring wide_file(file.begin(), file.end());  // ASCII work paths
        ::testing::internal::CaptureStdout();
        Call made;
        made.result = replaceTextW(wide_file.c_str(), std::wstring(old_units.begin(), old_units.end()).c_str(),
                                   std::wstring(new_units.begin(), new_units.end()).c_str(), encoding);
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    }
#endif

    // A call that must leave the file as it was, with `result`, and no
    // temporary file.
    void expect_untouched(const Call& made, const std::string& before, int result) {
        EXPECT_EQ(made.result, result) << made.printed;
        EXPECT_EQ(read_file(path("file")), before);
        EXPECT_TRUE(entries(path("tmp")).empty()) << "a temporary file was left behind";
    }
};

// Every form, both line ends, every kind of text: the file's bytes are the
// reference's, mark and line ends kept; the odd-offset bytes of "AB" inside
// U+4100 U+4200 U+4300 are left alone in UTF-16 (result 1), and replaced
// in UTF-8 only where the text holds "AB".
TEST_F(TextSubstitution, GivesTheReferenceBytesInEveryEncodingMarkAndLineEnd) {
    for (const std::u32string& end : {std::u32string(U"\n"), std::u32string(U"\r\n")}) {
        for (const Form& form : forms) {
            for (const Edit& edit : edits(end)) {
                SCOPED_TRACE(::testing::Message() << form.name << ", " << utf8_of(edit.text));
                const std::string before = form.mark + form.bytes(edit.text);
                const std::u32string after = replaced(edit.text, edit.old_text, edit.new_text);
                const int expected = after == edit.text ? 1 : 0;
                write_file(path("file"), before);
                Call made = text(path("file"), edit.old_text, edit.new_text, form.encoding);
                EXPECT_EQ(made.result, expected) << made.printed;
                EXPECT_EQ(read_file(path("file")), form.mark + form.bytes(after));
#if defined(_WIN32)
                write_file(path("file"), before);
                made = wide(path("file"), edit.old_text, edit.new_text, form.encoding);
                EXPECT_EQ(made.result, expected) << made.printed;
                EXPECT_EQ(read_file(path("file")), form.mark + form.bytes(after));
#endif
            }
        }
    }
}

// The mark is the file's, not text: U+FEFF as the pattern leaves it in
// place and replaces only the one inside the text.
TEST_F(TextSubstitution, NeverMatchesOrChangesTheMark) {
    const std::string le_mark("\xFF\xFE", 2);
    write_file(path("file"), le_mark + utf16_bytes(U"a\uFEFFb", false));
    EXPECT_EQ(text(path("file"), U"\uFEFF", U"-", 0).result, 0);
    EXPECT_EQ(read_file(path("file")), le_mark + utf16_bytes(U"a-b", false));

    const std::string utf8_mark("\xEF\xBB\xBF");
    write_file(path("file"), utf8_mark);
    expect_untouched(text(path("file"), U"\uFEFF", U"x", 0), utf8_mark, 1);
    expect_untouched(text(path("file"), U"\uFEFF", U"x", 1), utf8_mark, 1);
}

// A file without a mark that is not UTF-8 cannot be told (9), wherever the
// fault lies: in the first block, past it, or a sequence cut at the end;
// while a sequence across the read block's edge is valid.
TEST_F(TextSubstitution, RefusesAFileWithoutAMarkThatIsNotUtf8) {
    const std::string block(std::size_t{1} << 20, 'a');
    for (const std::string& before : {std::string("old \xE9t\xE9"), block + "old\xFF",
                                      std::string("old \xE2\x82"), std::string("\xC0\xAF old"),
                                      std::string("old \xED\xA0\x80")}) {
        write_file(path("file"), before);
        expect_untouched(text(path("file"), U"old", U"new", 0), before, 9);
    }
    write_file(path("file"), block.substr(1) + "\xC5\x81old");
    EXPECT_EQ(text(path("file"), U"old", U"new", 0).result, 0);
    EXPECT_EQ(read_file(path("file")), block.substr(1) + "\xC5\x81new");
}

// A file whose mark names another encoding than the one named is not
// searched as the one named, which would find nothing (1) or write the text
// in the wrong form: it is left alone (9). Under a UTF-16 name EF BB BF is
// the start of text, as it may be there.
TEST_F(TextSubstitution, RefusesAFileWhoseMarkContradictsTheEncodingNamed) {
    const std::string le_mark("\xFF\xFE", 2);
    const std::string be_mark("\xFE\xFF", 2);
    const std::vector<std::pair<std::string, int>> contradicting = {
        {be_mark + utf16_bytes(U"key=old", true), 2},
        {le_mark + utf16_bytes(U"key=old", false), 3},
        {le_mark + utf16_bytes(U"key=old", false), 1},
        {be_mark + utf16_bytes(U"key=old", true), 1},
        {"\xEF\xBB\xBFkey=old", 4},
    };
    for (const auto& [before, encoding] : contradicting) {
        write_file(path("file"), before);
        Call made = text(path("file"), U"old", U"new", encoding);
#if !defined(_WIN32)
        if (encoding == 4) {
            expect_untouched(made, before, 8);  // no ANSI code page here
            continue;
        }
#endif
        expect_untouched(made, before, 9);
        EXPECT_EQ(made.printed, "Cannot match the encoding of " + path("file") + "; rc=9\n")
            << encoding;
    }
    const std::string text_first = "\xEF\xBB\xBF" + std::string(1, '\0') + utf16_bytes(U"old", false);
    write_file(path("file"), text_first);
    EXPECT_EQ(text(path("file"), U"old", U"new", 2).result, 0);
    EXPECT_EQ(read_file(path("file")),
              "\xEF\xBB\xBF" + std::string(1, '\0') + utf16_bytes(U"new", false));
}

// Text that cannot be written in the file's encoding leaves the file alone
// (9), as do arguments that are wrong (8).
TEST_F(TextSubstitution, RefusesTextItCannotWriteAndWrongArguments) {
    const std::string before = "old";
    write_file(path("file"), before);
    const std::string file = path("file");
    auto narrow = [&](const char* old_text, const char* new_text, int encoding) {
        ::testing::internal::CaptureStdout();
        Call made;
        made.result = replaceText(file.c_str(), old_text, new_text, encoding);
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    };
    Call made = narrow("ol\xC3", "x", 1);
    expect_untouched(made, before, 9);
    EXPECT_EQ(made.printed, "Cannot match the encoding of " + file + "; rc=9\n");
    expect_untouched(narrow("old", "\xED\xA0\x80", 2), before, 9);
    expect_untouched(narrow("", "x", 1), before, 8);
    expect_untouched(narrow("old", "x", 5), before, 8);
    expect_untouched(narrow("old", "x", -1), before, 8);
    EXPECT_EQ(replaceText(nullptr, "a", "b", 0), 8);
    EXPECT_EQ(replaceText(file.c_str(), nullptr, "b", 0), 8);
    EXPECT_EQ(replaceText(file.c_str(), "a", nullptr, 0), 8);
#if defined(_WIN32)
    // The ANSI code page (1252 here): Latin text, and none outside it.
    const std::string latin = latin1_of(U"city=\u00d3d\u00e9\r\n");
    write_file(path("file"), latin);
    EXPECT_EQ(text(path("file"), U"\u00d3d\u00e9", U"\u00c5se", 4).result, 0);
    EXPECT_EQ(read_file(path("file")), latin1_of(U"city=\u00c5se\r\n"));
    const std::string kept = read_file(path("file"));
    expect_untouched(text(path("file"), U"\u00c5se", U"\u0141\u00f3d\u017a", 4), kept, 9);
    expect_untouched(text(path("file"), U"\u4e00", U"x", 4), kept, 9);
    const std::u16string lone(1, u'\xD800');
    ::testing::internal::CaptureStdout();
    const std::wstring wide_file(file.begin(), file.end());
    const int lone_result = replaceTextW(wide_file.c_str(), std::wstring(lone.begin(), lone.end()).c_str(), L"x", 2);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(lone_result, 9);
    EXPECT_EQ(read_file(path("file")), kept);
#else
    expect_untouched(narrow("old", "x", 4), before, 8);
#endif
}

#if defined(_WIN32)
// In code page 932 "\\" (5C) is also the second byte of U+30BD (83 5C) and
// U+8868 (95 5C): only a whole "\\" is replaced, and a whole U+30BD.
TEST_F(TextSubstitution, MatchesWholeCharactersOfADoubleByteCodePage) {
    if (::GetACP() != 932) {
        GTEST_SKIP() << "needs code page 932: run on its own as "
                        "kivsubst_text_under_code_page_932";
    }
    write_file(path("file"), "\x83\x5c" "C:\\" "\x95\x5c" "\\x");
    EXPECT_EQ(text(path("file"), U"\\", U"/", 4).result, 0);
    EXPECT_EQ(read_file(path("file")), "\x83\x5c" "C:/" "\x95\x5c" "/x");
    EXPECT_EQ(text(path("file"), U"\u30bd", U"\u8868", 4).result, 0);
    EXPECT_EQ(read_file(path("file")), "\x95\x5c" "C:/" "\x95\x5c" "/x");
    const std::string kept = read_file(path("file"));
    expect_untouched(text(path("file"), U"\u0141", U"x", 4), kept, 9);
}
#endif

}  // namespace

// SPDX-License-Identifier: Zlib
// The front end's --encoding: text from the command line written in each
// file's encoding, the mark and line ends kept, whole UTF-16 units only,
// and the files whose encoding cannot be told left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivtest/text_reference.h"
#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::replaced;
using kivtest::utf16_bytes;
using kivtest::utf8_of;
using kivtest::write_file;
using kivtest::make_directory;
using kivtest::SubstTool;

struct Form {
    const char* option;
    std::string mark;
    bool utf16;
    bool big_endian;
};

std::string bytes_in(const Form& form, const std::u32string& text) {
    return form.mark + (form.utf16 ? utf16_bytes(text, form.big_endian) : utf8_of(text));
}

const Form forms[] = {
    {"--encoding=auto", "", false, false},
    {"--encoding=auto", "\xEF\xBB\xBF", false, false},
    {"--encoding=auto", "\xFF\xFE", true, false},
    {"--encoding=auto", "\xFE\xFF", true, true},
    {"--encoding=utf-8", "", false, false},
    {"--encoding=utf-16le", "", true, false},
    {"--encoding=utf-16be", "", true, true},
    {"--utf16le", "\xFF\xFE", true, false},
};

// Latin, CJK and emoji text on CRLF lines, with an occurrence across two
// UTF-16 units that must stay: every form gives the reference's bytes, one
// file alone, and several by their own marks in one batch (-r).
TEST_F(SubstTool, WritesTheTextInEachFilesOwnEncoding) {
    const std::u32string text =
        U"\u0141\u00f3d\u017a=\u4e00\U0001F600\r\n\u4100\u4200\u4300 \u0141\u00f3d\u017a\r\n";
    const std::u32string old_text = U"\u0141\u00f3d\u017a";
    const std::u32string new_text = U"\U0001F600 Krak\u00f3w";
    const std::u32string after = replaced(text, old_text, new_text);
    for (const Form& form : forms) {
        SCOPED_TRACE(::testing::Message() << form.option << ", mark of " << form.mark.size());
        write_file(path("file"), bytes_in(form, text));
        auto result = run({form.option, "--", utf8_of(old_text), utf8_of(new_text), path("file")});
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(read_file(path("file")), bytes_in(form, after));
    }
    make_directory(path("tree"));
    for (std::size_t i = 0; i < 4; ++i) {
        write_file(path("tree/" + std::to_string(i)), bytes_in(forms[i], text));
    }
    auto result = run({"-r", "--encoding=auto", "--", utf8_of(old_text), utf8_of(new_text),
                       path("tree")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(read_file(path("tree/" + std::to_string(i))), bytes_in(forms[i], after)) << i;
    }
}

// "AB" in UTF-16LE is the middle of U+4100 U+4200 U+4300 at an odd offset:
// left alone (1) by --encoding=auto and by --utf16le, which once changed it.
TEST_F(SubstTool, LeavesAnOccurrenceAcrossTwoUnitsAlone) {
    const std::string before = "\xFF\xFE" + utf16_bytes(U"\u4100\u4200\u4300", false);
    for (const char* option : {"--encoding=auto", "--utf16le"}) {
        write_file(path("file"), before);
        for (const std::vector<std::string>& how :
             {std::vector<std::string>{}, {"-n"}, {"-i", "-w"}}) {
            std::vector<std::string> arguments = how;
            arguments.insert(arguments.end(), {option, "--", "AB", "XY", path("file")});
            auto result = run(arguments);
            EXPECT_EQ(result.exit_status, 1) << option << " " << result.out << result.err;
        }
        EXPECT_EQ(read_file(path("file")), before) << option;
    }
}

// A file without a mark that is not UTF-8 gives 9 and is left alone, with
// -n too; the other files of the run are still patched.
TEST_F(SubstTool, LeavesAFileWhoseEncodingCannotBeToldAlone) {
    const std::string latin1 = "old \xE9t\xE9\n";
    write_file(path("latin1"), latin1);
    write_file(path("utf8"), "old \xC3\xA9t\xC3\xA9\n");
    auto result = run({"--encoding=auto", "--", "old", "new", path("latin1"), path("utf8")});
    EXPECT_EQ(result.exit_status, 9) << result.err;
    EXPECT_NE(result.err.find("is not UTF-8 (9)"), std::string::npos) << result.err;
    EXPECT_EQ(read_file(path("latin1")), latin1);
    EXPECT_EQ(read_file(path("utf8")), "new \xC3\xA9t\xC3\xA9\n");
    EXPECT_TRUE(temporary_files().empty());
    for (const char* look : {"-n", "--preview"}) {
        result = run({look, "--encoding=auto", "--", "old", "new", path("latin1")});
        EXPECT_EQ(result.exit_status, 9) << look;
        EXPECT_NE(result.err.find("cannot patch"), std::string::npos) << result.err;
    }
    // Named, the file is taken as that encoding: a valid pattern matches
    // whole characters of it.
    EXPECT_EQ(run({"--encoding=utf-8", "--", "old", "new", path("latin1")}).exit_status, 0);
}

// A file whose mark contradicts --encoding gives 9, naming the mark found
// and the encoding named, with -n and --preview too; it was "nothing
// found" (1).
TEST_F(SubstTool, RefusesAFileWhoseMarkContradictsTheEncodingNamed) {
    const std::string before = "\xFE\xFF" + utf16_bytes(U"key=old", true);
    write_file(path("app.ini"), before);
    const std::string why = "it begins with the byte-order mark of UTF-16BE (FE FF), not "
                            "UTF-16LE as named";
    auto result = run({"--encoding=utf-16le", "--", "old", "new", path("app.ini")});
    EXPECT_EQ(result.exit_status, 9) << result.err;
    EXPECT_NE(result.err.find("cannot patch it as text: " + why + " (9)"), std::string::npos)
        << result.err;
    EXPECT_EQ(read_file(path("app.ini")), before);
    EXPECT_TRUE(temporary_files().empty());
    for (const char* look : {"-n", "--preview"}) {
        result = run({look, "--encoding=utf-16le", "--", "old", "new", path("app.ini")});
        EXPECT_EQ(result.exit_status, 9) << look;
        EXPECT_NE(result.err.find(why), std::string::npos) << look << ": " << result.err;
    }
    write_file(path("app.ini"), "\xFF\xFE" + utf16_bytes(U"key=old", false));
    result = run({"--encoding=utf-8", "--", "old", "new", path("app.ini")});
    EXPECT_EQ(result.exit_status, 9) << result.err;
    EXPECT_NE(result.err.find("mark of UTF-16LE (FF FE), not UTF-8 as named"), std::string::npos)
        << result.err;
}

// -i, -w, -m and -e on big-endian units, case per unit: U+4B65, whose
// bytes are "Ke", is no letter.
TEST_F(SubstTool, MatchesCaseWordsAndPairsOnBigEndianUnits) {
    const std::string mark = "\xFE\xFF";
    write_file(path("file"), mark + utf16_bytes(U"Key=1 key=2 keys=3 KEY=4 \u4b65\r\n", true));
    auto result = run({"-i", "-w", "-m", "3", "--encoding=auto", "-e", "key", "k", "-e", "KEYS",
                       "K", "--", path("file")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("file")), mark + utf16_bytes(U"k=1 k=2 K=3 KEY=4 \u4b65\r\n", true));
    result = run({"--preview", "--encoding=auto", "--", "KEY", "K", path("file")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.out.find("- k=1 k=2 K=3 KEY=4 "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("+ k=1 k=2 K=3 K=4 "), std::string::npos) << result.out;
}

// --preview shows UTF-16 text as it shows UTF-8: the occurrence's whole
// line, decoded, cut at whole line-feed units (U+010A and U+0A00 hold a
// 0A byte and are no line end) or 60 units from it, the mark never shown.
TEST_F(SubstTool, PreviewsUtf16TextAsDecodedLines) {
    const std::u32string text = U"first \u010a\u0a00\r\nkey=old \u00e9\u4e00 old\r\n" +
                                std::u32string(100, U'x') + U"old" + std::u32string(100, U'x') +
                                U"\r\n";
    const std::string cut(60, 'x');
    for (const bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "UTF-16BE" : "UTF-16LE");
        const std::string mark = big_endian ? "\xFE\xFF" : "\xFF\xFE";
        write_file(path("app.ini"), mark + utf16_bytes(text, big_endian));
        for (const char* encoding : {"--encoding=auto", big_endian ? "--encoding=utf-16be"
                                                                   : "--encoding=utf-16le"}) {
            auto result = run({"--preview", encoding, "--", "old", "new", path("app.ini")},
                              {"TMP=" + dir(), "LC_ALL=C.UTF-8"});
            EXPECT_EQ(result.exit_status, 0) << result.err;
            const std::string name = kivtest::quoted(path("app.ini"));
            const std::string line = "- key=old \xC3\xA9\xE4\xB8\x80 old\n+ key=new "
                                     "\xC3\xA9\xE4\xB8\x80 new\n";
            EXPECT_EQ(result.out, name + ":2:30\n" + line + name + ":2:44\n" + line + name +
                                      ":3:254\n- ..." + cut + "old" + cut + "...\n+ ..." + cut +
                                      "new" + cut + "...\n")
                << encoding;
        }
    }
}

TEST_F(SubstTool, RefusesEncodingsItCannotTake) {
    write_file(path("file"), "old");
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--encoding=latin9", "a", "b", path("file")},
             {"--encoding=auto", "--hex", "61", "62", path("file")},
             {"--encoding=utf-8", "--utf16le", "a", "b", path("file")},
             {"--encoding=auto", "a", "b", "-"},
             {"--encoding=auto", "--escapes", "a\\xff", "b", path("file")},
#if !defined(_WIN32)
             {"--encoding=ansi", "a", "b", path("file")},
#endif
         }) {
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << arguments.front() << ": " << result.err;
    }
    EXPECT_EQ(read_file(path("file")), "old");
}

}  // namespace

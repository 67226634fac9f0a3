// SPDX-License-Identifier: Zlib
// Windows only. The front end takes its command line as UTF-16: a name
// given there reaches that very file, whatever the ANSI code page can write
// (a best-fit look-alike, such as Lódz for Łódź, is never patched), names
// found by -r come out in the same form, and text to search for is the
// code page's bytes of each character, or UTF-8 with --utf8, never a
// look-alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/wide.h"
#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::SubstTool;
using kivtest::widen;

// Names in Cyrillic, CJK, an emoji, and one with its best-fit look-alike
// beside it.
const std::vector<std::string> names = {"Привет", "日本語", "😀 emoji", "Łódź"};

class WideNamesTool : public SubstTool {
protected:
    std::wstring wide(const std::string& name) const { return widen(path(name)); }
    std::string read(const std::string& name) const { return kivtest::read_file(wide(name)); }
    void write(const std::string& name, const std::string& bytes) {
        kivtest::write_file(wide(name), bytes);
    }
};

TEST_F(WideNamesTool, PatchesTheFilesNamedOnTheCommandLine) {
    kivtest::make_directory(wide("Lódz"));
    write("Lódz\\app.ini", "old");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        kivtest::make_directory(wide(name));
        write(name + "\\app.ini", "old");
        write(name + "\\tree.ini", "old");
        // One file by its name, with a backup and a look first.
        const std::string file = path(name + "\\app.ini");
        auto preview = run({"--preview", "--", "old", "new", file});
        EXPECT_EQ(preview.exit_status, 0) << preview.err;
        EXPECT_EQ(preview.out, quoted(file) + ":1:0\n- old\n+ new\n");
        auto patched = run({"-v", "--backup", "--", "old", "new", file});
        EXPECT_EQ(patched.exit_status, 0) << patched.err;
        EXPECT_EQ(patched.err, quoted(file) + ": 1 replaced\n");
        EXPECT_EQ(read(name + "\\app.ini"), "new");
        EXPECT_EQ(read(name + "\\app.ini~"), "old");
        // The tree holding it, its names as the walk finds them, joined
        // with the separator that the command line's path ends in ('/').
        auto walked = run({"-r", "-v", "--include=tree.ini", "--", "old", "new", path(name)});
        EXPECT_EQ(walked.exit_status, 0) << walked.err;
        EXPECT_EQ(walked.err, quoted(path(name + "/tree.ini")) + ": 1 replaced\n");
        EXPECT_EQ(read(name + "\\tree.ini"), "new");
    }
    EXPECT_EQ(read("Lódz\\app.ini"), "old");
    EXPECT_TRUE(temporary_files().empty());
}

// Text is the ANSI code page's bytes of each character (1252 here), or
// UTF-8 with --utf8; a character the code page has no bytes for is refused,
// never searched for as a look-alike.
TEST_F(WideNamesTool, TakesTextInTheCodePageOrInUtf8) {
    write("latin.ini", "caf\xE9 L");
    write("utf8.ini", "caf\xC3\xA9 L");
    EXPECT_EQ(run({"--", "é", "e", path("latin.ini")}).exit_status, 0);
    EXPECT_EQ(read("latin.ini"), "cafe L");
    EXPECT_EQ(run({"--utf8", "--", "é", "e", path("utf8.ini")}).exit_status, 0);
    EXPECT_EQ(read("utf8.ini"), "cafe L");
    auto refused = run({"--", "Ł", "x", path("latin.ini")});
    EXPECT_EQ(refused.exit_status, 64);
    EXPECT_NE(refused.err.find("no bytes in the ANSI code page"), std::string::npos)
        << refused.err;
    EXPECT_EQ(read("latin.ini"), "cafe L");
}

}  // namespace

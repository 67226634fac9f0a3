// SPDX-License-Identifier: Zlib
// The front end's ways of choosing and showing what to replace: trees,
// backups, literal text, several pairs, standard input, a preview, progress,
// and many files in one run.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "kivtest/files.h"
#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

// Directories are walked in sorted order; only regular files are patched,
// and no link is followed (-v tells of a link to a file); --include and
// --exclude match base names, and --exclude prunes directories too.
TEST_F(SubstTool, WalksDirectoriesWithRecursive) {
    for (const char* directory : {"t", "t/sub", "t/skip", "elsewhere"}) {
        kivtest::make_directory(path(directory));
    }
    for (const char* file : {"t/b.cfg", "t/a.cfg", "t/sub/c.cfg", "t/sub/d.txt", "t/skip/e.cfg",
                             "elsewhere/x.cfg", "outside.cfg"}) {
        write_file(path(file), "v1");
    }
    std::vector<std::string> patched = {"t/a.cfg", "t/b.cfg", "t/sub/c.cfg"};
    std::string expected;
#if !defined(_WIN32)
    ASSERT_EQ(::symlink(path("outside.cfg").c_str(), path("t/zz-link.cfg").c_str()), 0);
    ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("t/dir-link").c_str()), 0);
    expected = quoted(path("t/zz-link.cfg")) + ": skipped (a symbolic link)\n";
#endif
    auto result =
        run({"-r", "-v", "--include=*.cfg", "--exclude", "skip", "--", "v1", "v2", path("t")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const std::string& file : patched) {
        // The walk goes on with the separator the command line used ('/').
        expected += quoted(path(file)) + ": 1 replaced\n";
    }
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(read_file(path("t/sub/c.cfg")), "v2");
    EXPECT_EQ(read_file(path("t/sub/d.txt")), "v1");
    EXPECT_EQ(read_file(path("t/skip/e.cfg")), "v1");
    EXPECT_EQ(read_file(path("elsewhere/x.cfg")), "v1");
    EXPECT_EQ(read_file(path("outside.cfg")), "v1");
}

// A backup holds the old bytes, mode and times, is made only for a file in
// which something is replaced, and replaces an earlier backup only when
// that is a regular file.
TEST_F(SubstTool, KeepsABackupOfEachFileItChanges) {
    write_file(path("a"), "old");
    write_file(path("b"), "none");
    const kivtest::Time accessed{1000000000, 0};
    const kivtest::Time modified{1100000000, 0};
    kivtest::set_times(path("a"), accessed, modified);
#if !defined(_WIN32)
    ASSERT_EQ(::chmod(path("a").c_str(), 0640), 0);
#endif
    auto result = run({"--backup", "--", "old", "new", path("a"), path("b")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("a")), "new");
    EXPECT_EQ(read_file(path("a~")), "old");
    EXPECT_EQ(kivtest::modification_time(path("a~")), modified);
    EXPECT_FALSE(kivtest::exists(path("b~")));
#if !defined(_WIN32)
    struct stat backup {};
    ASSERT_EQ(::stat(path("a~").c_str(), &backup), 0);
    EXPECT_EQ(backup.st_mode & 07777, 0640u);

    write_file(path("victim"), "precious");
    ASSERT_EQ(::symlink(path("victim").c_str(), path("a.orig").c_str()), 0);
    auto refused = run({"-S", ".orig", "--", "new", "newer", path("a")});
    EXPECT_EQ(refused.exit_status, 7);
    EXPECT_EQ(refused.err, "kivsubst: " + quoted(path("a")) +
                               ": cannot keep a backup: the backup " + quoted(path("a.orig")) +
                               " exists and is not a regular file (7)\n");
    EXPECT_EQ(read_file(path("a")), "new");
    EXPECT_EQ(read_file(path("victim")), "precious");
#endif
    EXPECT_EQ(run({"--suffix=.bak", "--", "new", "newer", path("a")}).exit_status, 0);
    EXPECT_EQ(read_file(path("a.bak")), "new");
    EXPECT_EQ(read_file(path("a~")), "old");
    EXPECT_TRUE(temporary_files().empty());
}

// Backups never take the place of another: a file of the run that is the
// backup of another is left alone (told, not patched), so a second run
// keeps the first run's backup, and numbered backups are named as cp names
// them; a suffix may hold no separator.
TEST_F(SubstTool, NeverBacksUpIntoABackup) {
    kivtest::make_directory(path("conf"));
    write_file(path("conf/app.ini"), "port=8080");
    EXPECT_EQ(run({"-r", "--backup", "--", "8080", "8443", path("conf")}).exit_status, 0);
    auto second = run({"-r", "--backup", "--", "8443", "9443", path("conf")});
    EXPECT_EQ(second.exit_status, 0) << second.err;
    const char* walked = "/";  // the walk goes on with the separator the command line used
    EXPECT_EQ(second.err, "kivsubst: leaving " + quoted(path("conf") + walked + "app.ini~") +
                              " alone: it is the backup of " +
                              quoted(path("conf") + walked + "app.ini") + "\n");
    EXPECT_EQ(read_file(path("conf/app.ini")), "port=9443");
    EXPECT_EQ(read_file(path("conf/app.ini~")), "port=8443");
    EXPECT_FALSE(kivtest::exists(path("conf/app.ini~~")));

    write_file(path("f"), "old");
    write_file(path("f~"), "old backup");
    EXPECT_EQ(run({"--backup", "--", "old", "new", path("f"), path("f~")}).exit_status, 0);
    EXPECT_EQ(read_file(path("f~")), "old");
    EXPECT_FALSE(kivtest::exists(path("f~~")));

    for (const char* version : {"v1", "v2"}) {
        write_file(path("n"), version);
        EXPECT_EQ(run({"--backup=numbered", "--", "v", "V", path("n")}).exit_status, 0);
    }
    EXPECT_EQ(read_file(path("n.~1~")), "v1");
    EXPECT_EQ(read_file(path("n.~2~")), "v2");
    EXPECT_EQ(run({"-S", "/x", "--", "a", "b", path("n")}).exit_status, 64);
    EXPECT_EQ(run({"--backup=sideways", "--", "a", "b", path("n")}).exit_status, 64);
}

// A run left with no file to patch (--include lets none in) says so and
// fails, rather than passing for "nothing found"; --progress counts every
// file of a batch, to the total.
TEST_F(SubstTool, TellsARunWithNothingToPatchAndCountsEveryFile) {
    kivtest::make_directory(path("t"));
    for (const char* name : {"a.ini", "b.ini", "c.ini"}) {
        write_file(path("t/") + name, std::string(100, 'x') + "old");
    }
    auto none = run({"-r", "--include=*.foo", "--", "old", "new", path("t")});
    EXPECT_EQ(none.exit_status, 3);
    EXPECT_EQ(none.err, "kivsubst: no file to patch: --include and --exclude left none\n");
    auto counted = run({"-r", "--progress", "--", "old", "new", path("t")});
    EXPECT_EQ(counted.exit_status, 0) << counted.err;
    EXPECT_EQ(counted.err.substr(0, counted.err.find(',')), "309 B of 309 B (100%)")
        << counted.err;
}

// -F takes the text byte for byte: a Windows path keeps its backslashes,
// which the escapes would turn into a line feed and a tab. An empty
// REPLACEMENT deletes, with -F as without it.
TEST_F(SubstTool, TakesFixedStringsByteForByte) {
    write_file(path("app.ini"), "path=C:\\old\\tools");
    auto result = run({"-F", "--", "C:\\old\\tools", "C:\\new\\tools", path("app.ini")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("app.ini")), "path=C:\\new\\tools");
    for (const char* fixed : {"-F", "--fixed-strings"}) {
        write_file(path("deleted.ini"), "path=C:\\old\\tools;");
        auto deleted = run({fixed, "--", "C:\\old\\tools", "", path("deleted.ini")});
        EXPECT_EQ(deleted.exit_status, 0) << fixed << ": " << deleted.err;
        EXPECT_EQ(read_file(path("deleted.ini")), "path=;") << fixed;
    }
}

// PATTERN and REPLACEMENT reach the file as typed: a Windows path keeps
// its backslashes, "\\P" is no error. Escapes are read only with
// --escapes; the last of -F and --escapes wins, and --hex takes none.
TEST_F(SubstTool, TakesTheTextAsTypedUnlessAskedForEscapes) {
    write_file(path("app.ini"), "dir=@DIR@;prog=@PROG@");
    auto typed = run({"-e", "@DIR@", "C:\\new\\temp", "-e", "@PROG@", "C:\\Program Files",
                      "--", path("app.ini")});
    EXPECT_EQ(typed.exit_status, 0) << typed.err;
    EXPECT_EQ(read_file(path("app.ini")), "dir=C:\\new\\temp;prog=C:\\Program Files");

    for (const auto& [options, written] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--escapes"}, "a\tb\n"},
             {{"-F", "--escapes"}, "a\tb\n"},
             {{"--escapes", "-F"}, "a\\tb\\n"},
         }) {
        write_file(path("f"), "x");
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), {"--", "x", "a\\tb\\n", path("f")});
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 0) << options.front() << ": " << result.err;
        EXPECT_EQ(read_file(path("f")), written) << options.front();
    }
    auto hex = run({"--hex", "--escapes", "--", "78", "79", path("f")});
    EXPECT_EQ(hex.exit_status, 64);
    EXPECT_EQ(hex.err.substr(0, hex.err.find('\n')),
              "kivsubst: --hex and --escapes cannot be used together");
}

// Several pairs in one pass: a swap, and the longest pattern where two
// start at the same place; -n counts them all.
TEST_F(SubstTool, AppliesSeveralPairsAtOnce) {
    write_file(path("f"), "A-B-AB-abcab");
    auto counted = run({"-n", "-e", "A", "B", "-e", "B", "A", "-e", "ab", "X", "-e", "abc", "Y",
                        path("f")});
    EXPECT_EQ(counted.out, quoted(path("f")) + ": 6 to replace\n");
    auto result = run({"-e", "A", "B", "-e", "B", "A", "-e", "ab", "X", "-e", "abc", "Y",
                       "--", path("f")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("f")), "B-A-BA-YX");
    EXPECT_EQ(run({"-e", "A"}).exit_status, 64);
}

#if !defined(_WIN32)
// - is standard input to standard output, bytes as they are.
TEST_F(SubstTool, FiltersStandardInputToStandardOutput) {
    auto filtered = kivtest::run_program(
        "/bin/sh", {"-c", "printf 'a\\000b\\000' | \"$0\" --hex -- 00 ff -", KIVSUBST_CLI_PATH});
    EXPECT_EQ(filtered.exit_status, 0) << filtered.err;
    EXPECT_EQ(filtered.out, "a\xff" "b\xff");
    auto none =
        kivtest::run_program("/bin/sh", {"-c", "printf 'abc' | \"$0\" x y -", KIVSUBST_CLI_PATH});
    EXPECT_EQ(none.exit_status, 1);
    EXPECT_EQ(none.out, "abc");
    write_file(path("f"), "x");
    EXPECT_EQ(run({"x", "y", "-", path("f")}).exit_status, 64);
}
#endif

// --preview shows each occurrence in its line before and after, escapes
// what a terminal would act on, cuts long lines around the occurrence,
// shows binary files in hex, and changes nothing.
TEST_F(SubstTool, PreviewsEachOccurrenceAndChangesNothing) {
    const std::string text = "first\nkey=old\x1b[2J old\r\n" + std::string(100, 'x') + "old" +
                             std::string(100, 'x') + "\n";
    write_file(path("text"), text);
    write_file(path("data"), std::string("\x01\x02old\x00\x03", 7));
    auto result = run({"--preview", "--", "old", "new", path("text"), path("data")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::string cut(60, 'x');
    EXPECT_EQ(result.out,
              quoted(path("text")) + ":2:10\n- key=old\\x1B[2J old\n+ key=new\\x1B[2J new\n" +
                  quoted(path("text")) + ":2:18\n- key=old\\x1B[2J old\n+ key=new\\x1B[2J new\n" +
                  quoted(path("text")) + ":3:123\n- ..." + cut + "old" + cut + "...\n+ ..." +
                  cut + "new" + cut + "...\n" + quoted(path("data")) +
                  ":1:2\n- 01 02 [6f 6c 64] 00 03\n+ 01 02 [6e 65 77] 00 03\n");
    EXPECT_EQ(read_file(path("text")), text);
    EXPECT_TRUE(temporary_files().empty());
}

// --progress on a standard error that is no terminal: one line at the end.
TEST_F(SubstTool, ShowsProgressWhenAsked) {
    write_file(path("f"), std::string(3000, 'x'));
    auto result = run({"--progress", "x", "y", path("f")});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(
        std::regex_match(result.err, std::regex(R"(2\.9 KiB of 2\.9 KiB \(100%\), .*/s\n)")))
        << result.err;
}

// More files than one batch holds: every one patched, told in order, and
// no temporary file left.
TEST_F(SubstTool, PatchesManyFilesInBatches) {
    std::vector<std::string> arguments = {"-v", "--", "before", "after"};
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string name = path("f" + std::to_string(1000 + i));
        write_file(name, i % 3 == 0 ? "nothing" : "before and before");
        arguments.push_back(name);
        expected += quoted(name) + (i % 3 == 0 ? ": nothing found\n" : ": 2 replaced\n");
    }
    auto result = run(arguments);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(read_file(path("f1001")), "after and after");
    EXPECT_EQ(read_file(path("f1000")), "nothing");
    EXPECT_TRUE(temporary_files().empty());
}

}  // namespace

// SPDX-License-Identifier: Zlib
// --atomic and --recover: a run's files installed as one transaction, every
// target new or every target old, and the command lines that do not go
// with them. Runs killed part-way and recovered are the crash harness's
// (tests/reliability/crash_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tool_fixture.h"

namespace {

using kivtest::CopyTool;
using kivtest::read_file;
using kivtest::write_file;

class AtomicCopyTool : public CopyTool {
protected:
    // The names in a directory, sorted: the files of the test and nothing
    // that a transaction leaves, staged or journal.
    std::vector<std::string> names_in(const std::string& directory) const {
        return kivtest::sorted_names(path(directory));
    }
};

// Three sources into a directory with -f, the last of which cannot be
// copied (a directory holds its target's name): the two before it, which a
// run without --atomic copies, leave their targets old, and nothing of the
// transaction is left beside them or in the journal folder; nor does a run
// where two sources of one name go to one target, as a run without
// --atomic refuses the second. A tree copy then installs every file,
// telling each once all are in place.
TEST_F(AtomicCopyTool, InstallsEverySourceOrNone) {
    kivtest::make_directory(path("src"));
    kivtest::make_directory(path("src/sub"));
    kivtest::make_directory(path("dst"));
    kivtest::make_directory(path("dst/c"));
    write_file(path("src/a"), "new a");
    write_file(path("src/b"), "new b");
    write_file(path("src/c"), "new c");
    write_file(path("src/sub/d"), "new d");
    write_file(path("dst/a"), "old a");
    auto failed = run({"--atomic", "-f", "--", path("src/a"), path("src/b"), path("src/c"),
                       path("dst")});
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_EQ(failed.err, "kivcopy: cannot overwrite directory '" + path("dst") + "/c'" +
                              " with non-directory '" + path("src/c") + "'\n"
                              "kivcopy: no file copied: every target keeps its old content\n");
    EXPECT_EQ(read_file(path("dst/a")), "old a");
    EXPECT_EQ(names_in("dst"), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(names_in(""), (std::vector<std::string>{"dst", "src"}));

    kivtest::make_directory(path("other"));
    write_file(path("other/b"), "other b");
    auto twice = run({"--atomic", "--", path("src/b"), path("other/b"), path("dst")});
    EXPECT_EQ(twice.exit_status, 1);
    EXPECT_EQ(twice.err, "kivcopy: will not overwrite just-created '" + path("dst") + "/b' with '" +
                             path("other/b") + "'\n"
                             "kivcopy: no file copied: every target keeps its old content\n");
    EXPECT_EQ(names_in("dst"), (std::vector<std::string>{"a", "c"}));

    auto tree = run({"--atomic=" + path("dst"), "-r", "-v", "--", path("src"), path("copy")});
    EXPECT_EQ(tree.exit_status, 0) << tree.err;
    EXPECT_EQ(read_file(path("copy/a")), "new a");
    EXPECT_EQ(read_file(path("copy/sub/d")), "new d");
    EXPECT_EQ(names_in("copy"), (std::vector<std::string>{"a", "b", "c", "sub"}));
    EXPECT_EQ(names_in("copy/sub"), std::vector<std::string>{"d"});
    EXPECT_EQ(names_in("dst"), (std::vector<std::string>{"a", "c"}));
    // The files are told after the directories, once the commit put them
    // in place.
    EXPECT_NE(tree.out.find("'" + path("src/sub") + "' -> '" + path("copy/sub") + "'\n'" +
                            path("src/a") + "' -> '" + path("copy/a") + "'\n"),
              std::string::npos)
        << tree.out;
}

// A tree copied into a directory that is there already merges into it:
// the directories the run makes (nested ones too) stay hidden until the
// commit puts them in place. A file of the tree that cannot be copied (a
// directory holds its name, which -f does not replace) undoes the run,
// and none of the directories it made is left behind, nor anything of
// the transaction.
TEST_F(AtomicCopyTool, UndoesTheDirectoriesOfATreeItCannotFinish) {
    kivtest::make_directory(path("src"));
    kivtest::make_directory(path("src/sub"));
    kivtest::make_directory(path("src/sub/deep"));
    write_file(path("src/a"), "new a");
    write_file(path("src/c"), "new c");
    write_file(path("src/sub/deep/d"), "new d");
    kivtest::make_directory(path("dst"));
    kivtest::make_directory(path("dst/src"));
    kivtest::make_directory(path("dst/src/c"));
    auto failed = run({"--atomic", "-r", "-f", "--", path("src"), path("dst")});
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_NE(failed.err.find("no file copied: every target keeps its old content"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(names_in("dst"), std::vector<std::string>{"src"});
    EXPECT_EQ(names_in("dst/src"), std::vector<std::string>{"c"});
    EXPECT_EQ(names_in("dst/src/c"), std::vector<std::string>{});

    std::filesystem::remove(path("dst/src/c"));
    auto tree = run({"--atomic", "-r", "--", path("src"), path("dst")});
    EXPECT_EQ(tree.exit_status, 0) << tree.err;
    EXPECT_EQ(names_in("dst/src"), (std::vector<std::string>{"a", "c", "sub"}));
    EXPECT_EQ(names_in("dst/src/sub"), std::vector<std::string>{"deep"});
    EXPECT_EQ(read_file(path("dst/src/sub/deep/d")), "new d");
    EXPECT_EQ(names_in("dst"), std::vector<std::string>{"src"});
}

// --recover says what it did in the folder it is given, or in the
// DIRECTORY's own; a folder that cannot hold a journal is told, and
// nothing is copied.
TEST_F(AtomicCopyTool, RecoversInTheFolderItIsGiven) {
    kivtest::make_directory(path("dst"));
    write_file(path("a"), "new a");
    auto missing = run({"--atomic=" + path("missing"), "--", path("a"), path("dst")});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err.rfind("kivcopy: cannot keep a journal in '" + path("missing") + "'", 0),
              0u)
        << missing.err;
    EXPECT_EQ(names_in("dst"), std::vector<std::string>{});
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--recover", path("dst")},
          std::vector<std::string>{"--recover=" + path("dst")}}) {
        auto recovered = run(arguments);
        EXPECT_EQ(recovered.exit_status, 0) << recovered.err;
        EXPECT_EQ(recovered.out, "'" + path("dst") + "': nothing to do\n");
    }
}

// What does not go with a transaction is refused before anything is done.
TEST_F(AtomicCopyTool, RefusesWhatDoesNotGoWithAtomicOrRecover) {
    write_file(path("a"), "new a");
    kivtest::make_directory(path("dst"));
    const std::string a = path("a");
    const std::string dst = path("dst");
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--atomic", "-b", a, dst}, "--atomic and --backup cannot be used together"},
        {{"--atomic", "--remove-destination", a, dst},
         "--atomic and --remove-destination cannot be used together"},
        {{"--atomic", "-u", a, dst}, "--atomic and --update cannot be used together"},
        {{"--atomic", "-a", a, dst}, "--atomic and --preserve (-p, -a) cannot be used together"},
        {{"--atomic", "--reflink", a, dst}, "--atomic and --reflink=always cannot be used together"},
        {{"--atomic=", a, dst}, "option --atomic needs a FOLDER after '='"},
        {{"--recover", "-f", dst},
         "--recover and --overwrite cannot be used together (--recover takes -v alone)"},
        {{"--recover"}, "--recover takes a FOLDER, or the DIRECTORY whose journal folder it is"},
        {{"--recover=" + dst, dst},
         "--recover takes a FOLDER, or the DIRECTORY whose journal folder it is"},
    };
    for (const auto& [arguments, message] : refused) {
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << message;
        EXPECT_EQ(result.out, "") << message;
        EXPECT_EQ(result.err,
                  "kivcopy: " + message + "\nTry 'kivcopy --help' for more information.\n");
    }
    EXPECT_EQ(names_in("dst"), std::vector<std::string>{});
}

}  // namespace

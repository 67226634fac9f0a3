// SPDX-License-Identifier: Zlib
// --atomic and --recover: a run's files patched as one transaction, every
// file new or every file old, and the command lines that do not go with
// them. Runs killed part-way and recovered are the crash harness's
// (tests/reliability/crash_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "kivtest/files.h"
#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

class AtomicSubstTool : public SubstTool {
protected:
    // The names in a directory, sorted: the files of the test and nothing
    // that a transaction leaves, staged or journal.
    std::vector<std::string> names_in(const std::string& directory) const {
        return kivtest::sorted_names(path(directory));
    }
};

// A walk whose last file fails while it is read (it is not UTF-8, and has
// no mark to tell its encoding) leaves the files before it old, where a run
// without --atomic has patched them; nothing of the transaction is left
// beside them, and the journal, kept in the walked directory, is gone. The
// same walk without that file patches every file.
TEST_F(AtomicSubstTool, PatchesEveryFileOfAWalkOrNone) {
    kivtest::make_directory(path("t"));
    kivtest::make_directory(path("t/sub"));
    write_file(path("t/a.cfg"), "old a\n");
    write_file(path("t/sub/b.cfg"), "old b\n");
    write_file(path("t/sub/z.cfg"), "old \xE9t\xE9\n");
    auto failed = run({"--atomic", "-r", "--encoding=auto", "--", "old", "new", path("t")});
    EXPECT_EQ(failed.exit_status, 9) << failed.err;
    EXPECT_EQ(failed.err, "kivsubst: " + quoted(path("t/sub/z.cfg")) +
                              ": cannot patch it as text: it has no byte-order mark and is not "
                              "UTF-8 (9)\n"
                              "kivsubst: no file changed: every file keeps its old content\n");
    EXPECT_EQ(read_file(path("t/a.cfg")), "old a\n");
    EXPECT_EQ(read_file(path("t/sub/b.cfg")), "old b\n");
    EXPECT_EQ(names_in("t"), (std::vector<std::string>{"a.cfg", "sub"}));
    EXPECT_EQ(names_in("t/sub"), (std::vector<std::string>{"b.cfg", "z.cfg"}));

    auto patched = run({"--atomic", "-r", "-v", "--exclude=z.cfg", "--encoding=auto", "--",
                        "old", "new", path("t")});
    EXPECT_EQ(patched.exit_status, 0) << patched.err;
    EXPECT_EQ(patched.err, quoted(path("t/a.cfg")) + ": 1 replaced\n" +
                               quoted(path("t/sub/b.cfg")) + ": 1 replaced\n");
    EXPECT_EQ(read_file(path("t/a.cfg")), "new a\n");
    EXPECT_EQ(read_file(path("t/sub/b.cfg")), "new b\n");
    EXPECT_EQ(names_in("t"), (std::vector<std::string>{"a.cfg", "sub"}));
    EXPECT_EQ(names_in("t/sub"), (std::vector<std::string>{"b.cfg", "z.cfg"}));
    EXPECT_TRUE(temporary_files().empty());
}

// The journal folder named, or the one chosen for the first FILE, must be
// one that can hold a journal; --recover there says what it did, and
// refuses a journal that is not to be trusted, touching nothing.
// A walk passes over what other calls stage under the libraries' hidden
// names (another transaction's member, and a folder it makes), with or
// without --atomic: patching a staged file would put other bytes in place
// than its transaction made ready.
TEST_F(AtomicSubstTool, AWalkPassesOverWhatOtherCallsStage) {
    kivtest::make_directory(path("t"));
    kivtest::make_directory(path("t/.new.kiv-txn-0123456789abcdef"));
    write_file(path("t/.a.cfg.kiv-txn-fedcba9876543210"), "old staged\n");
    write_file(path("t/.new.kiv-txn-0123456789abcdef/b.cfg"), "old b\n");
    for (const char* atomic : {"--atomic", "-v"}) {
        write_file(path("t/a.cfg"), "old a\n");
        auto patched = run({atomic, "-r", "--", "old", "new", path("t")});
        EXPECT_EQ(patched.exit_status, 0) << patched.err;
        EXPECT_EQ(read_file(path("t/a.cfg")), "new a\n");
        EXPECT_EQ(read_file(path("t/.a.cfg.kiv-txn-fedcba9876543210")), "old staged\n");
        EXPECT_EQ(read_file(path("t/.new.kiv-txn-0123456789abcdef/b.cfg")), "old b\n");
    }
}

TEST_F(AtomicSubstTool, KeepsItsJournalWhereItIsToldAndRecoversThere) {
    kivtest::make_directory(path("journal"));
    write_file(path("a"), "old");
    auto missing = run({"--atomic=" + path("missing"), "--", "old", "new", path("a")});
    EXPECT_EQ(missing.exit_status, 10);
    EXPECT_NE(missing.err.find("cannot keep a journal in " + quoted(path("missing"))),
              std::string::npos)
        << missing.err;
    EXPECT_EQ(read_file(path("a")), "old");

    auto patched = run({"--atomic=" + path("journal"), "--", "old", "new", path("a")});
    EXPECT_EQ(patched.exit_status, 0) << patched.err;
    EXPECT_EQ(read_file(path("a")), "new");
    EXPECT_EQ(names_in("journal"), std::vector<std::string>{});

    auto clean = run({"--recover", path("a")});
    EXPECT_EQ(clean.exit_status, 0) << clean.err;
    EXPECT_EQ(clean.out, quoted(dir()) + ": nothing to do\n");

    const std::string planted = path("journal/kivtransaction-0123456789abcdef.journal");
    write_file(planted, "not a journal");
    // A second name: someone else could change it through that one.
    ASSERT_TRUE(kivtest::hard_link(planted, path("second name")));
    auto refused = run({"--recover=" + path("journal")});
    EXPECT_EQ(refused.exit_status, 10);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find(quoted(path("journal")) + ": refused: "), std::string::npos)
        << refused.err;
    EXPECT_EQ(read_file(planted), "not a journal");
}

// What does not go with a transaction is refused before anything is done:
// a backup, standard input, an empty FOLDER; and --recover takes neither a
// pattern nor the options of a run, nor both a FOLDER and a FILE.
TEST_F(AtomicSubstTool, RefusesWhatDoesNotGoWithAtomicOrRecover) {
    write_file(path("a"), "old");
    const std::string a = path("a");
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--atomic", "--backup", "old", "new", a}, "--atomic and --backup cannot be used together"},
        {{"--atomic", "-S", ".orig", "old", "new", a},
         "--atomic and --backup cannot be used together"},
        {{"--atomic", "old", "new", "-"}, "--atomic cannot patch standard input (FILE -)"},
        {{"--atomic=", "old", "new", a}, "option --atomic needs a FOLDER after '='"},
        {{"--recover", "--atomic", a},
         "--recover and --atomic cannot be used together (--recover takes -r and -v alone)"},
        {{"--recover", "-i", a},
         "--recover and --ignore-case cannot be used together (--recover takes -r and -v alone)"},
        {{"--recover", "-e", "old", "new", a}, "--recover takes no PATTERN or REPLACEMENT"},
        {{"--recover"}, "--recover needs a FOLDER, or a FILE whose journal folder it is"},
        {{"--recover=" + dir(), a}, "--recover=FOLDER takes no FILE"},
    };
    for (const auto& [arguments, message] : refused) {
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << message;
        EXPECT_EQ(result.out, "") << message;
        EXPECT_EQ(result.err, "kivsubst: " + message +
                                  "\nTry 'kivsubst --help' for more information.\n");
    }
    EXPECT_EQ(read_file(a), "old");
    EXPECT_EQ(names_in(""), std::vector<std::string>{"a"});
}

}  // namespace

// SPDX-License-Identifier: Zlib
// Linux only. Names that someone else prepared or changes during a call:
// FIFOs and devices where a file should be, links and files planted at the
// next temporary names, the file swapped for a link to another file before
// the write-back, and its directory swapped for a link to another directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "subst_faults.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::SubstFault;
using kivtest::write_file;

TEST_F(SubstFault, RefusesPathsThatAreNotRegularFiles) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    // A FIFO without a writer must not hold up the call.
    for (const std::string& special : {path("fifo"), std::string("/dev/null")}) {
        Call made = replace(special, "a", "b");
        EXPECT_EQ(made.result, KIVSUBST_CANNOT_OPEN);
        EXPECT_EQ(made.printed, "Cannot open " + special + "; rc=3\n");
    }
    EXPECT_TRUE(entries(path("tmp")).empty());
}

// A file name can hold any byte but '/' and NUL. The lines the library
// prints escape control bytes, so that a name cannot drive the terminal
// or forge a line of its own in a log; other bytes are printed as they are.
TEST_F(SubstFault, EscapesControlBytesInTheNamesItPrints) {
    Call missing = replace(path("x\033[2J\ny \xc3\xa9"), "a", "b");
    EXPECT_EQ(missing.result, KIVSUBST_CANNOT_OPEN);
    EXPECT_EQ(missing.printed, "Cannot open " + path("x\\033[2J\\012y \xc3\xa9") + "; rc=3\n");

    kivtest::make_directory(path("t\rmp"));
    kivtest::UnwritableFile sealed(path("t\rmp"));
    if (!sealed.ok()) {
        GTEST_SKIP() << sealed.error();
    }
    write_file(path("file"), "abc");
    Call made = replace_with_tmp(path("t\rmp"), path("file"), "b", "x");
    EXPECT_EQ(made.result, KIVSUBST_NO_TEMP_FILE);
    EXPECT_EQ(made.printed.rfind("Cannot open temporary file " + path("t\\015mp/KIV"), 0), 0u)
        << made.printed;
}

// A file that is a link to someone's terminal is refused without being
// opened: a privileged caller that leads a session without a terminal
// would otherwise take that terminal as its own, and its owner could then
// stop or interrupt the caller.
TEST_F(SubstFault, NeverOpensATerminalAtTheFilesName) {
    kivtest::PseudoTerminal terminal;
    if (!terminal.ok()) {
        GTEST_SKIP() << terminal.error();
    }
    ASSERT_EQ(::symlink(terminal.path().c_str(), path("file").c_str()), 0);
    std::string why_not;
    const auto called = kivtest::call_without_a_terminal(
        [&] { return replace(path("file"), "a", "b").result == KIVSUBST_CANNOT_OPEN; }, why_not);
    if (!called) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_TRUE(called->answered) << "a terminal was taken for a file";
    EXPECT_FALSE(called->took_a_terminal) << "the call made the terminal its caller's own";
    EXPECT_TRUE(entries(path("tmp")).empty());
}

// Someone who can write to a shared TMP plants links and files at every
// name the service may pick next, hoping that a privileged call writes
// through one of them.
TEST_F(SubstFault, NeverUsesLinksOrFilesPlantedAtTheNextNames) {
    // Learn the number of the last name made from a call that must name it.
    long last = 0;
    {
        kivtest::UnwritableFile locked(path("tmp"));
        if (!locked.ok()) {
            GTEST_SKIP() << locked.error();
        }
        write_file(path("file"), "abc");
        std::smatch number;
        std::string printed = replace(path("file"), "b", "x").printed;
        ASSERT_TRUE(std::regex_search(printed, number, std::regex("KIV([0-9]+)")));
        last = std::stol(number[1]);
    }
    write_file(path("victim"), "precious");
    const int planted = 500;
    for (int i = 1; i <= planted; ++i) {
        const std::string name = path("tmp/KIV" + std::to_string((last + i) % 100000));
        if (i % 2 == 0) {
            write_file(name, "planted");
        } else {
            ASSERT_EQ(::symlink(path("victim").c_str(), name.c_str()), 0);
        }
    }

    EXPECT_EQ(replace(path("file"), "b", "x").result, 0);
    EXPECT_EQ(read_file(path("file")), "axc");
    EXPECT_EQ(read_file(path("victim")), "precious");
    EXPECT_EQ(read_file(path("tmp/KIV" + std::to_string((last + 2) % 100000))), "planted");
    EXPECT_EQ(entries(path("tmp")).size(), static_cast<std::size_t>(planted))
        << "only the planted names are left";
}

// The moment the call creates its temporary file: after the file was opened
// and its temporary directory chosen, before anything is written back.
bool creates_the_temporary_file(const std::string& opened, int flags) {
    return (flags & O_EXCL) != 0 && opened.find("KIV") != std::string::npos;
}

// What an attacker who may rename entries does: moves `name` away to `moved`
// and puts a symbolic link to `target` in its place.
void swap_for_link(const std::string& name, const std::string& moved, const std::string& target) {
    ASSERT_EQ(::rename(name.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0);
}

// Makes `call` (a replacement of "1" by "2" in `file`, "version=1") while
// the file is swapped as the temporary file is created: moved to `moved`,
// and a link to `other` ("precious") put in its place. `swapped` says
// whether the swap happened.
Call call_while_swapped(const std::function<Call()>& call, const std::string& file,
                        const std::string& moved, const std::string& other, bool& swapped) {
    write_file(file, "version=1");
    write_file(other, "precious");
    kivtest::OpenHook swap(creates_the_temporary_file,
                           [&] { swap_for_link(file, moved, other); });
    Call made = call();
    swapped = swap.fired();
    return made;
}

// Between the scan and the write-back, someone moves the file away and
// puts a link to another file in its place. The write-back must not write
// through the name into that other file.
TEST_F(SubstFault, NeverWritesBackIntoAFileSwappedInDuringTheCall) {
    bool swapped = false;
    Call made = call_while_swapped([&] { return replace(path("file"), "1", "2"); }, path("file"),
                                   path("moved"), path("other"), swapped);
    EXPECT_TRUE(swapped);
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(read_file(path("other")), "precious");
    EXPECT_EQ(read_file(path("moved")), "version=1");
    // The result waits in the kept temporary file.
    std::vector<std::string> kept = entries(path("tmp"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(path("tmp/" + kept[0])), "version=2");
}

// A result kept for the user carries the mark (mode 1600) that tells it
// from what a killed call left: the next calls with the same TMP, which
// settle what killed calls left there, leave it as it is.
TEST_F(SubstFault, KeepsAKeptResultThroughTheNextCallsInTmp) {
    bool swapped = false;
    ASSERT_EQ(call_while_swapped([&] { return replace(path("file"), "1", "2"); }, path("file"),
                                 path("moved"), path("other"), swapped)
                  .result,
              KIVSUBST_COPY_ERROR);
    const std::string kept = kept_temporary();
    struct stat status {};
    ASSERT_EQ(::stat(kept.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 01600u);
    write_file(path("next"), "version=1");
    EXPECT_EQ(replace(path("next"), "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_EQ(replace(path("next"), "2", "3").result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(kept), "version=2");
}

// With TMP unset the temporary file goes beside the file. Someone who may
// rename entries beside that directory swaps it for a link to a directory
// they may not write, hoping that the privileged call creates (and leaves)
// its temporary file there. The call works in the directory it opened.
TEST_F(SubstFault, KeepsTheTemporaryFileInTheDirectoryItOpened) {
    kivtest::make_directory(path("shared"));
    kivtest::make_directory(path("protected"));
    write_file(path("shared/file"), "version=1");
    kivtest::OpenHook swap(
        creates_the_temporary_file,
        [&] { swap_for_link(path("shared"), path("shared.old"), path("protected")); });
    Call made = replace_with_tmp(std::nullopt, path("shared/file"), "1", "2");
    EXPECT_TRUE(swap.fired());
    EXPECT_EQ(made.result, KIVSUBST_REPLACED) << made.printed;
    EXPECT_TRUE(entries(path("protected")).empty());
    EXPECT_EQ(entries(path("shared.old")), std::vector<std::string>{"file"});
    EXPECT_EQ(read_file(path("shared.old/file")), "version=2");
}

}  // namespace

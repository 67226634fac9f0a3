// SPDX-License-Identifier: Zlib
// The front end's -i, -w and --max-count beside the same task done by sed -i
// (its I flag, its \b and \< \> word boundaries) and, where sed cannot say
// it, by a perl one-liner; then the same occurrences seen by every way the
// front end looks at or patches files: -n, --preview, one file, a batch,
// standard input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

#if !defined(_WIN32)

// Text in which words and near-words abound: a pattern's word in every
// case, glued to letters, digits, '_' or UTF-8 letters, at line starts and
// ends, and the file's.
std::string random_text(unsigned seed) {
    static const std::vector<std::string> words = {
        "needle", "Needle", "NEEDLE", "nEEdle", "needles", "needle_", "1needle", "needle9",
        "x1_",    "X1_",    "_x1_",   "e",      "E",       "\xc3\xa9", "\xc3\x89", "haystack",
        "a",      "A",      "aa",     "port=80", "Port=80", "port=8080"};
    static const std::vector<std::string> gaps = {" ",  " ", "  ", "\n", ".", "-", "(", ")",
                                                  ",",  "_", "9", "\xc3\xa9", "=", ""};
    std::mt19937 random(seed);
    auto pick = [&random](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    std::string text;
    for (int i = 0; i < 400; ++i) {
        text += pick(words) + pick(gaps);
    }
    return text;
}

// Runs a peer through the shell, in the C locale, where sed's and perl's
// word characters are ASCII letters, digits and '_' (as ours are), and sed's
// I flag folds ASCII letters only; in a UTF-8 locale sed would take 'é' for
// a word character and fold it too.
kivtest::ProgramRun peer(const std::string& script, const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"-c", script, "peer"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return kivtest::run_program("/bin/sh", all, {"LC_ALL=C"});
}

class SubstToolBesidePeers : public SubstTool {
protected:
    void SetUp() override {
        SubstTool::SetUp();
        const kivtest::ProgramRun found = peer("command -v sed && command -v perl", {});
        if (found.exit_status != 0) {
            GTEST_SKIP() << "sed or perl is not installed: the comparison with them cannot run";
        }
    }

    // Our result and the peer's on copies of `text`, byte for byte, with
    // the exit status that says whether anything was replaced.
    void expect_same_as_peer(const std::string& text, const std::vector<std::string>& ours,
                             const std::string& script, const std::vector<std::string>& values) {
        write_file(path("ours"), text);
        write_file(path("theirs"), text);
        std::vector<std::string> arguments = ours;
        arguments.push_back(path("ours"));
        const kivtest::ProgramRun run_ours = run(arguments);
        std::vector<std::string> peer_arguments = values;
        peer_arguments.push_back(path("theirs"));
        const kivtest::ProgramRun run_peer = peer(script, peer_arguments);
        ASSERT_EQ(run_peer.exit_status, 0) << script << ": " << run_peer.err;
        const std::string theirs = read_file(path("theirs"));
        EXPECT_EQ(read_file(path("ours")), theirs) << script;
        EXPECT_EQ(run_ours.exit_status, theirs == text ? 1 : 0) << run_ours.err;
    }
};

// -i beside sed's I flag.
TEST_F(SubstToolBesidePeers, IgnoresCaseAsSedsIFlagDoes) {
    const std::vector<std::string> patterns = {"needle", "NEEDLE", "nEeD", "e", "x1_", "\xc3\xa9",
                                               "A A", "port=8"};
    for (unsigned seed = 0; seed < 3; ++seed) {
        for (const std::string& pattern : patterns) {
            SCOPED_TRACE(pattern + ", seed " + std::to_string(seed));
            expect_same_as_peer(random_text(seed), {"-i", "--", pattern, "<" + pattern + ">"},
                                "sed -i \"s/$1/<$1>/gI\" \"$2\"", {pattern});
        }
    }
}

// -w beside sed's \b...\b, and -w -i beside \<...\> with the I flag, for
// patterns that begin and end with a word character, where the two rules
// agree. For a pattern that begins or ends with another character our rule
// (no word character right before or after) is not \b's, and is checked
// beside perl's look-arounds instead.
TEST_F(SubstToolBesidePeers, MatchesWholeWordsAsSedsWordBoundariesDo) {
    const std::vector<std::string> words = {"needle", "x1_", "e", "a", "aa", "A A", "port"};
    for (unsigned seed = 0; seed < 3; ++seed) {
        for (const std::string& word : words) {
            SCOPED_TRACE(word + ", seed " + std::to_string(seed));
            expect_same_as_peer(random_text(seed), {"-w", "--", word, "<W>"},
                                "sed -i \"s/\\\\b$1\\\\b/<W>/g\" \"$2\"", {word});
            expect_same_as_peer(random_text(seed), {"-w", "-i", "--", word, "<W>"},
                                "sed -i \"s/\\\\<$1\\\\>/<W>/gI\" \"$2\"", {word});
        }
    }
    const std::string look_around =
        "P=\"$1\" perl -0777 -pi -e "
        "'s/(?<![A-Za-z0-9_])\\Q$ENV{P}\\E(?![A-Za-z0-9_])/<W>/g' \"$2\"";
    for (const std::string pattern : {"-", "(a)", "=80", ".", "\xc3\xa9"}) {
        SCOPED_TRACE(pattern);
        expect_same_as_peer(random_text(7), {"-w", "--", pattern, "<W>"}, look_around, {pattern});
    }
}

// --max-count beside a perl one-liner that replaces only while its count
// is below N (sed's s///N counts within a line, not a file): one pair, and
// two pairs counted together, with -w and -i, over several files at once,
// each of which gets its own N; and -n counts no more than N.
TEST_F(SubstToolBesidePeers, ReplacesAtMostTheFirstNOccurrencesOfEachFile) {
    const std::string counted =
        "N=\"$1\" perl -0777 -pi -e "
        "'$n = 0; s/(?<![A-Za-z0-9_])(needle|port=80)(?![A-Za-z0-9_])/"
        "$n++ < $ENV{N} ? (lc $1 eq \"needle\" ? \"pin\" : \"P\") : $1/gie' \"$2\"";
    std::vector<std::string> arguments = {"-m", "5", "-w", "-i", "-e", "needle", "pin",
                                          "-e", "port=80", "P", "--"};
    std::string expected_counts;
    for (unsigned seed = 0; seed < 3; ++seed) {
        const std::string name = path("f" + std::to_string(seed));
        write_file(name, random_text(20 + seed));
        write_file(name + ".perl", random_text(20 + seed));
        ASSERT_EQ(peer(counted, {"5", name + ".perl"}).exit_status, 0);
        arguments.push_back(name);
        expected_counts += quoted(name) + ": 5 to replace\n";
    }
    std::vector<std::string> counting = arguments;
    counting.insert(counting.begin(), "-n");
    EXPECT_EQ(run(counting).out, expected_counts);
    EXPECT_EQ(run(arguments).exit_status, 0);
    for (unsigned seed = 0; seed < 3; ++seed) {
        const std::string name = path("f" + std::to_string(seed));
        EXPECT_EQ(read_file(name), read_file(name + ".perl")) << name;
    }
    for (const char* most : {"1", "2", "1000000"}) {
        SCOPED_TRACE(most);
        expect_same_as_peer(random_text(3), {"--max-count", most, "--", "e", "E"},
                            "N=\"$1\" perl -0777 -pi -e '$n = 0; s/e/$n++ < $ENV{N} ? \"E\" : "
                            "\"e\"/ge' \"$2\"",
                            {most});
    }
}

// With --utf16le the options look at code units: an ASCII text widened to
// UTF-16LE comes out as sed's result on the text itself, widened.
TEST_F(SubstToolBesidePeers, AppliesTheOptionsToUtf16LeText) {
    std::string text;
    for (char byte : random_text(4)) {
        if (static_cast<unsigned char>(byte) < 0x80) {
            text += byte;
        }
    }
    write_file(path("narrow"), text);
    ASSERT_EQ(peer("sed -i 's/\\bneEDle\\b/pin/gI' \"$1\"", {path("narrow")}).exit_status, 0);
    const auto widened = [](const std::string& narrow) {
        std::string wide;
        for (char byte : narrow) {
            wide += byte;
            wide += '\0';
        }
        return wide;
    };
    write_file(path("wide"), widened(text));
    auto result = run({"--utf16le", "-i", "-w", "--", "neEDle", "pin", path("wide")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("wide")), widened(read_file(path("narrow"))));
}

// Every way of looking and patching finds the same occurrences: the count,
// the preview (a binary file's shows the file's own bytes), one file alone,
// a batch of files, and standard input.
TEST_F(SubstTool, FindsTheSameOccurrencesEveryWay) {
    const std::string text = "Port=80 port=80 PORT=80 sport=80 port=8080\n";
    const std::string patched = "P P PORT=80 sport=80 port=8080\n";
    const std::vector<std::string> options = {"-i", "-w", "-m", "2", "--", "port=80", "P"};
    const auto with = [&](std::vector<std::string> arguments,
                          const std::vector<std::string>& files) {
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), files.begin(), files.end());
        return arguments;
    };
    write_file(path("a"), text);
    write_file(path("b"), "nothing here");
    write_file(path("c"), std::string("\0PORT=80\0", 9));
    const auto counted = run(with({"-n"}, {path("a"), path("b"), path("c")}));
    EXPECT_EQ(counted.out, quoted(path("a")) + ": 2 to replace\n" + quoted(path("b")) +
                               ": nothing found\n" + quoted(path("c")) + ": 1 to replace\n");
    const auto previewed = run(with({"--preview"}, {path("a"), path("c")}));
    EXPECT_EQ(previewed.out, quoted(path("a")) + ":1:0\n- " + text.substr(0, text.size() - 1) +
                                 "\n+ " + patched.substr(0, patched.size() - 1) + "\n" +
                                 quoted(path("a")) + ":1:8\n- " +
                                 text.substr(0, text.size() - 1) + "\n+ " +
                                 patched.substr(0, patched.size() - 1) + "\n" +
                                 quoted(path("c")) +
                                 ":1:1\n- 00 [50 4f 52 54 3d 38 30] 00\n+ 00 [50] 00\n");
    EXPECT_EQ(read_file(path("a")), text);

    write_file(path("alone"), text);
    EXPECT_EQ(run(with({}, {path("alone")})).exit_status, 0);
    EXPECT_EQ(read_file(path("alone")), patched);
    EXPECT_EQ(run(with({}, {path("a"), path("b"), path("c")})).exit_status, 0);
    EXPECT_EQ(read_file(path("a")), patched);
    EXPECT_EQ(read_file(path("b")), "nothing here");
    EXPECT_EQ(read_file(path("c")), std::string("\0P\0", 3));
    const auto filtered = kivtest::run_program(
        "/bin/sh",
        {"-c", "printf '%s' \"$1\" | \"$0\" -i -w -m 2 -- port=80 P -", KIVSUBST_CLI_PATH, text});
    EXPECT_EQ(filtered.exit_status, 0) << filtered.err;
    EXPECT_EQ(filtered.out, patched);
    EXPECT_TRUE(temporary_files().empty());
}

#endif

// --max-count takes a number from 1 up, small enough to count with; -i and
// -w take no value.
TEST_F(SubstTool, RefusesAMaxCountThatIsNoPositiveNumberOrTooLarge) {
    write_file(path("f"), "x");
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-m", "0", "x", "y", path("f")},
                                               {"--max-count=-1", "x", "y", path("f")},
                                               {"--max-count", "2x", "x", "y", path("f")},
                                               {"--ignore-case=yes", "x", "y", path("f")}}) {
        const auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << arguments[0];
        EXPECT_NE(result.err.find("Try 'kivsubst --help'"), std::string::npos) << result.err;
    }
    EXPECT_EQ(run({"-m", "0", "x", "y", path("f")}).err,
              "kivsubst: --max-count takes a number from 1 up, not '0'\n"
              "Try 'kivsubst --help' for more information.\n");
    // A number past the largest count is refused for its size, not taken
    // for one below 1.
    EXPECT_EQ(run({"-m", "99999999999999999999", "x", "y", path("f")}).err,
              "kivsubst: --max-count '99999999999999999999' is too large: the most is "
              "18446744073709551615\n"
              "Try 'kivsubst --help' for more information.\n");
    EXPECT_EQ(read_file(path("f")), "x");
    // The largest count itself is taken.
    EXPECT_EQ(run({"--max-count=18446744073709551615", "x", "y", path("f")}).exit_status, 0);
    EXPECT_EQ(read_file(path("f")), "y");
}

}  // namespace

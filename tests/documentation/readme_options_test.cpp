// SPDX-License-Identifier: Zlib
// The README's option table of each front end against the options its own
// --help lists: the same options, long and short, no more and no fewer, so
// that the two cannot drift apart again.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kivtest/programs.h"

namespace {

using Options = std::set<std::string>;

// An option as it is named, without its value: "--max-count=N",
// "--backup[=CONTROL]" and "-e PATTERN REPLACEMENT" name --max-count,
// --backup and -e. Empty for anything that is no option ("-" alone, a word).
std::string option_in(const std::string& text) {
    const std::string name = text.substr(0, text.find_first_of(" =[,"));
    return name.size() > 1 && name[0] == '-' ? name : std::string();
}

// The options of --help's option lines: those that start with a dash after
// at most six spaces, up to the two spaces that begin the description.
Options options_in_help(const std::string& help) {
    Options found;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t dash = line.find_first_not_of(' ');
        if (dash == std::string::npos || dash < 2 || dash > 6 || line[dash] != '-') {
            continue;
        }
        const std::string column = line.substr(dash, line.find("  ", dash) - dash);
        for (std::size_t at = 0; at != std::string::npos;) {
            if (const std::string option = option_in(column.substr(at)); !option.empty()) {
                found.insert(option);
            }
            at = column.find(", ", at);
            at = at == std::string::npos ? at : at + 2;
        }
    }
    return found;
}

// The options in the first column of the option table ("| option | what
// it does | example |") that follows the heading `section` (a line of the
// README), each in a code span of its own.
Options options_in_table(const std::string& readme, const std::string& section) {
    Options found;
    const std::size_t heading = readme.find("\n" + section + "\n");
    const std::size_t table = readme.find("\n| option | what it does | example |\n", heading);
    if (heading == std::string::npos || table == std::string::npos) {
        return found;
    }
    std::istringstream lines(readme.substr(table + 1));
    std::string line;
    std::getline(lines, line);  // the header
    std::getline(lines, line);  // the rule under it
    while (std::getline(lines, line) && line.rfind("| ", 0) == 0) {
        const std::string cell = line.substr(2, line.find(" | ") - 2);
        for (std::size_t open = cell.find('`'); open != std::string::npos;) {
            const std::size_t close = cell.find('`', open + 1);
            if (const std::string option = option_in(cell.substr(open + 1, close - open - 1));
                !option.empty()) {
                found.insert(option);
            }
            open = close == std::string::npos ? close : cell.find('`', close + 1);
        }
    }
    return found;
}

std::string read_readme() {
    std::ifstream file(KIV_README_PATH, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct FrontEnd {
    const char* program;
    const char* section;  // the README's heading above its table
};

TEST(Readme, ListsInEachFrontEndsOptionTableExactlyTheOptionsItsHelpLists) {
    const std::string readme = read_readme();
    ASSERT_FALSE(readme.empty()) << "cannot read " << KIV_README_PATH;
    for (const FrontEnd& front_end : {FrontEnd{KIVCOPY_CLI_PATH, "## kivcopy"},
                                      FrontEnd{KIVSUBST_CLI_PATH, "## kivsubst"}}) {
        const kivtest::ProgramRun help = kivtest::run_program(front_end.program, {"--help"});
        ASSERT_EQ(help.exit_status, 0) << front_end.program << ": " << help.err;
        const Options from_help = options_in_help(help.out);
        const Options from_table = options_in_table(readme, front_end.section);
        // Both lists are read, and both name more than a handful.
        EXPECT_GT(from_help.size(), 10u) << front_end.program << "'s --help";
        EXPECT_GT(from_table.size(), 10u) << front_end.section << "'s table";
        EXPECT_EQ(from_table, from_help) << front_end.section << "'s table against --help";
    }
}

}  // namespace

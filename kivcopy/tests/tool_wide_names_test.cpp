// SPDX-License-Identifier: Zlib
// Windows only. The front end takes its command line as UTF-16: a name
// given there reaches that very file, whatever the ANSI code page can write
// (a best-fit look-alike, such as Lódz for Łódź, is never written), and
// trees, -p and -u work on such names as on any other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivtest/system.h"
#include "kivtest/wide.h"
#include "tool_fixture.h"

namespace {

using kivtest::widen;

class WideNamesCopy : public kivtest::CopyTool {
protected:
    std::wstring wide(const std::string& name) const { return widen(path(name)); }
    std::string read(const std::string& name) const { return kivtest::read_file(wide(name)); }
};

TEST_F(WideNamesCopy, CopiesTheFilesNamedOnTheCommandLine) {
    kivtest::make_directory(wide("Lódz"));
    kivtest::write_file(wide("Lódz\\app.ini"), "old");
    for (const std::string name : {"Привет", "日本語", "😀 emoji", "Łódź"}) {
        SCOPED_TRACE(name);
        kivtest::make_directory(wide(name));
        kivtest::write_file(wide(name + "\\app.ini"), "old");
        kivtest::write_file(wide(name + ".ini"), "new");
        const std::string source = path(name + ".ini");
        const std::string target = path(name + "\\app.ini");
        auto copied = run({"-v", "-f", "--", source, target});
        EXPECT_EQ(copied.exit_status, 0) << copied.err;
        EXPECT_EQ(copied.out, "'" + source + "' -> '" + target + "'\n");
        EXPECT_EQ(read(name + "\\app.ini"), "new");

        // -p gives the copy the source's times to 100 ns; -u then finds it
        // not older and leaves it alone.
        const kivtest::Time accessed{1700000000, 123456700};
        const kivtest::Time modified{1600000000, 987654300};
        kivtest::set_times(wide(name + ".ini"), accessed, modified);
        EXPECT_EQ(run({"-p", "-f", "--", source, target}).exit_status, 0);
        EXPECT_EQ(kivtest::modification_time(wide(name + "\\app.ini")), modified);
        kivtest::write_file(wide(name + ".ini"), "newer");
        kivtest::set_times(wide(name + ".ini"), accessed, modified);
        auto updated = run({"-u", "-v", "--", source, target});
        EXPECT_EQ(updated.out, "skipped '" + target + "' (not older)\n");
        EXPECT_EQ(read(name + "\\app.ini"), "new");

        // The folder as a tree, its names as the walk finds them.
        auto tree = run({"-r", "--", path(name), path(name + " copy")});
        EXPECT_EQ(tree.exit_status, 0) << tree.err;
        EXPECT_EQ(read(name + " copy\\app.ini"), "new");
    }
    EXPECT_EQ(read("Lódz\\app.ini"), "old");
}

}  // namespace

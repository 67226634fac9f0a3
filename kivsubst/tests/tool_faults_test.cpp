// Linux only. The front end meeting a fault that only Linux can stage: a
// directory that takes no new entries, beside a file that cannot be opened.
#include <gtest/gtest.h>

#include <string>

#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

TEST_F(SubstTool, ExitsWithTheFirstOfDifferentFailures) {
    kivtest::make_directory(path("sealed"));
    write_file(path("sealed/x"), "x");
    kivtest::UnwritableFile sealed(path("sealed"));
    if (!sealed.ok()) {
        GTEST_SKIP() << sealed.error();
    }
    // Without TMP the temporary file belongs next to the file, where the
    // sealed directory refuses it (4); the missing file cannot be opened (3).
    const std::string x = path("sealed/x");
    EXPECT_EQ(run({"x", "y", x, path("missing")}, {"TMP"}).exit_status, 4);
    EXPECT_EQ(run({"x", "y", path("missing"), x}, {"TMP"}).exit_status, 3);
    EXPECT_EQ(read_file(x), "x");
}

}  // namespace

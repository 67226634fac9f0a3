// SPDX-License-Identifier: Zlib
// Linux only. Copies of files with holes: the copy keeps them as holes and
// ends with the source's size, and a failure on either side along the way
// is reported as for any copy.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kivcopy.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

constexpr std::int64_t mib = 1024 * 1024;
constexpr const char* no_holes = "the work directory's file system keeps no holes";

// Pieces of data at their offsets in a file of `size` bytes.
struct Layout {
    std::vector<std::pair<std::int64_t, std::string>> data;
    std::int64_t size;
};

// Bytes without a zero, in a sequence that does not repeat at block
// boundaries, so that a piece copied to the wrong place shows.
std::string piece(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(1 + (i * 131 + i / 251) % 255);
    }
    return bytes;
}

class CopyWithHoles : public kivtest::WorkDirTest {
protected:
    // Makes the source as `layout` says; gives back the bytes it reads as.
    std::string make_source(const Layout& layout) {
        kivtest::write_file(path("source"), "");
        std::string bytes(static_cast<std::size_t>(layout.size), '\0');
        for (const auto& [offset, data] : layout.data) {
            kivtest::write_at(path("source"), offset, data);
            bytes.replace(static_cast<std::size_t>(offset), data.size(), data);
        }
        EXPECT_EQ(::truncate(path("source").c_str(), layout.size), 0);
        return bytes;
    }
    static std::int64_t allocated(const std::string& file) {
        return std::int64_t{kivtest::status_of(file).st_blocks} * 512;
    }
    // Whether the work directory's file system kept the source's holes.
    bool source_has_holes() {
        return allocated(path("source")) < kivtest::file_size(path("source"));
    }
    int copy() { return KivCopyFile(path("source").c_str(), path("target").c_str(), 1); }
};

// Each is copied over a longer target full of other bytes, which must not
// show through the copy's holes.
TEST_F(CopyWithHoles, KeepsTheHolesAndTheSizeOfEverySource) {
    const Layout layouts[] = {
        {{{0, piece(5000)}, {3 * mib + 100, piece(700001)}}, 3 * mib + 100 + 700001},
        {{{4 * mib + 3, "8 bytes!"}}, 8 * mib},
        {{}, 8 * mib},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.data.size());
        const std::string bytes = make_source(layout);
        if (!source_has_holes()) {
            GTEST_SKIP() << no_holes;
        }
        kivtest::write_file(path("target"), std::string(9 * mib, 'x'));
        ASSERT_EQ(copy(), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(path("target")), bytes);
        EXPECT_LE(allocated(path("target")), allocated(path("source")));
    }
}

// Files that the system makes up as they are read claim a size and hold no
// blocks, as if they were holes; their copy holds what reading them gives.
TEST_F(CopyWithHoles, CopiesWhatReadingGivesWhenTheStatusOverstatesTheSize) {
    const std::string made_up = "/sys/devices/system/cpu/online";
    if (!kivtest::exists(made_up)) {
        GTEST_SKIP() << made_up << " is missing: no sysfs here";
    }
    ASSERT_EQ(KivCopyFile(made_up.c_str(), path("target").c_str(), 1), KIVCOPY_OK);
    EXPECT_EQ(kivtest::read_file(path("target")), kivtest::read_file(made_up));
}

// The caller's file size limit keeps the target from growing to the
// source's size, whether the source ends in a hole or in data after one.
TEST_F(CopyWithHoles, ReportsATargetThatCannotGrowToTheSourcesSize) {
    for (const Layout& layout : {Layout{{{0, "head"}}, 8 * mib}, Layout{{{4 * mib, "tail"}}, 5 * mib}}) {
        make_source(layout);
        if (!source_has_holes()) {
            GTEST_SKIP() << no_holes;
        }
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit lowered = saved;
        lowered.rlim_cur = mib;
        auto handler = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
        int result = copy();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
        EXPECT_EQ(result, KIVCOPY_TARGET_NOT_WRITTEN);
    }
}

// A source whose holes cannot be looked for is a source that cannot be
// read; it is never taken for one that has no more data.
TEST_F(CopyWithHoles, ReportsASourceWhoseDataCannotBeFound) {
    make_source({{{0, "head"}, {4 * mib, "tail"}}, 8 * mib});
    if (!source_has_holes()) {
        GTEST_SKIP() << no_holes;
    }
    for (int whence : {SEEK_DATA, SEEK_HOLE}) {
        SCOPED_TRACE(whence);
        kivtest::SeekFault fault(whence, EIO);
        EXPECT_EQ(copy(), KIVCOPY_SOURCE_NOT_READ);
    }
}

}  // namespace

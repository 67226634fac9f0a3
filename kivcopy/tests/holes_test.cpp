// SPDX-License-Identifier: Zlib
// Linux only. Copies of files with holes: the copy keeps them as holes and
// ends with the source's size, and a target that cannot take that size is
// reported as for any copy.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "kivcopy.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

constexpr long long mib = 1024 * 1024;
using Pieces = std::vector<std::pair<long long, std::string>>;

class CopyWithHoles : public kivtest::WorkDirTest {
protected:
    // A source of `size` bytes with each piece at its offset and holes
    // elsewhere; gives back the bytes it reads as.
    std::string make_source(long long size, const Pieces& pieces) {
        kivtest::write_file(path("source"), "");
        EXPECT_EQ(::truncate(path("source").c_str(), size), 0);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        for (const auto& [offset, piece] : pieces) {
            kivtest::write_at(path("source"), offset, piece);
            bytes.replace(static_cast<std::size_t>(offset), piece.size(), piece);
        }
        return bytes;
    }
    long long allocated(const char* name) {
        return kivtest::status_of(path(name)).st_blocks * 512LL;
    }
    int copy() { return KivCopyFile(path("source").c_str(), path("target").c_str(), 1); }
};

// Data first and a run longer than the stream buffer last; a hole first and
// last; nothing but a hole. Each is copied over a longer target full of
// other bytes, which must not show through the copy's holes.
TEST_F(CopyWithHoles, KeepsTheHolesAndTheSizeOfEverySource) {
    const std::pair<long long, Pieces> sources[] = {
        {3 * mib + 700001, {{0, std::string(5000, 'a')}, {3 * mib, std::string(700001, 'b')}}},
        {8 * mib, {{4 * mib + 3, "8 bytes!"}}},
        {8 * mib, {}},
    };
    for (const auto& [size, pieces] : sources) {
        SCOPED_TRACE(pieces.size());
        const std::string bytes = make_source(size, pieces);
        if (allocated("source") >= size) {
            GTEST_SKIP() << "the work directory's file system keeps no holes";
        }
        kivtest::write_file(path("target"), std::string(9 * mib, 'x'));
        ASSERT_EQ(copy(), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(path("target")), bytes);
        EXPECT_LE(allocated("target"), allocated("source"));
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

// The caller's file size limit keeps the copy of a source that ends in a
// hole from growing to the source's size.
TEST_F(CopyWithHoles, ReportsATargetThatCannotGrowToTheSourcesSize) {
    make_source(8 * mib, {{0, "head"}});
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

}  // namespace

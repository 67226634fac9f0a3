// SPDX-License-Identifier: Zlib
// Linux only. Copies that meet real faults at many points: a target's file
// system full with more or less room left, a read-only mount, an immutable
// target, and a user without the rights. Whatever happens, the source is
// never changed, and a copy that reports success holds the source's bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "kivcopy.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class CopyFaultSweep : public kivtest::WorkDirTest {
protected:
    static std::string source_content() {
        std::string bytes(300 * 1024, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 4096);
        }
        return bytes;
    }

    void expect_source_kept(int result, const std::string& target) {
        expect_source_kept(result, target, path("source"));
    }

    void expect_source_kept(int result, const std::string& target, const std::string& source) {
        ++faults_;
        EXPECT_EQ(read_file(source), source_content()) << "the source changed";
        if (result == KIVCOPY_OK) {
            EXPECT_EQ(read_file(target), source_content()) << "success reported for a bad copy";
        }
    }

    void TearDown() override {
        std::printf("faults injected: %d, source changed: %s\n", faults_,
                    HasFailure() ? "yes" : "never");
        WorkDirTest::TearDown();
    }

    int faults_ = 0;
};

TEST_F(CopyFaultSweep, TargetsThatCannotTakeTheCopy) {
    write_file(path("source"), source_content());
    kivtest::TmpfsMount small(path("small"), 1024 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    const std::string target = path("small/target");
    for (unsigned long long room = 0; room <= 400 * 1024; room += 20 * 1024) {
        SCOPED_TRACE(room);
        std::remove(path("small/filler").c_str());
        write_file(target, "old");
        kivtest::fill_file_system(path("small"), room);
        expect_source_kept(KivCopyFile(path("source").c_str(), target.c_str(), 1), target);
    }

    // The source on the same file system: there the kernel copies from file
    // to file, and the disk fills during its copy.
    const std::string near = path("small/source");
    for (unsigned long long room = 0; room <= 400 * 1024; room += 20 * 1024) {
        SCOPED_TRACE("source beside the target, room " + std::to_string(room));
        std::remove(path("small/filler").c_str());
        write_file(near, source_content());
        write_file(target, "old");
        kivtest::fill_file_system(path("small"), room);
        expect_source_kept(KivCopyFile(near.c_str(), target.c_str(), 1), target, near);
    }
    std::remove(near.c_str());

    std::remove(path("small/filler").c_str());
    ASSERT_TRUE(small.make_read_only());
    EXPECT_EQ(KivCopyFile(path("source").c_str(), target.c_str(), 1), KIVCOPY_TARGET_NOT_WRITTEN);
    expect_source_kept(KIVCOPY_TARGET_NOT_WRITTEN, target);

    write_file(path("fixed"), "old");
    kivtest::UnwritableFile immutable(path("fixed"));
    ASSERT_TRUE(immutable.ok()) << immutable.error();
    EXPECT_EQ(KivCopyFile(path("source").c_str(), path("fixed").c_str(), 1),
              KIVCOPY_TARGET_NOT_WRITTEN);
    expect_source_kept(KIVCOPY_TARGET_NOT_WRITTEN, path("fixed"));
}

TEST_F(CopyFaultSweep, AUserWithoutTheRights) {
    write_file(path("source"), source_content());
    kivtest::make_directory(path("closed"));
    ASSERT_EQ(::chmod(path("closed").c_str(), 0755), 0);
    struct Case {
        mode_t source_mode;
        std::string target;
        int expected;
    };
    const Case cases[] = {
        {0600, path("target"), KIVCOPY_SOURCE_NOT_OPENED},
        {0644, path("closed/target"), KIVCOPY_TARGET_NOT_WRITTEN},
    };
    for (const Case& rights : cases) {
        SCOPED_TRACE(rights.target);
        ASSERT_EQ(::chmod(path("source").c_str(), rights.source_mode), 0);
        std::string why_not;
        int outcome = kivtest::run_as_nobody(
            [&] {
                int result = KivCopyFile(path("source").c_str(), rights.target.c_str(), 1);
                return result == rights.expected ? 0 : 1;
            },
            why_not);
        if (outcome < 0) {
            GTEST_SKIP() << why_not;
        }
        EXPECT_EQ(outcome, 0);
        expect_source_kept(rights.expected, rights.target);
    }
}

}  // namespace

// SPDX-License-Identifier: Zlib
// Linux only. Every kind of real fault, at many points of a call: full file
// systems with more or less room left, read-only mounts, immutable files,
// and a user without the rights. Whatever happens, a call that reports
// success leaves the result in the file, and a call that fails leaves the
// old content in the file or the complete result in the kept temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "subst_faults.h"

namespace {

using kivtest::write_file;

class SubstFaultSweep : public kivtest::SubstFault {
protected:
    const std::string pattern = "=";
    const std::string replacement = "===";

    // The file before each call: the input that all the fault tests patch.
    static std::string old_content() { return growing_input(); }
    std::string new_content() const {
        return kivtest::reference_substitution(old_content(), pattern, replacement).output;
    }

    // Checks what one call left behind in `file` and in the TMP directory
    // `tmp`, and clears TMP for the next call.
    void expect_nothing_lost(int result, const std::string& file, const std::string& tmp) {
        ++faults_;
        failures_seen_ += result != KIVSUBST_REPLACED ? 1 : 0;
        const std::string now = kivtest::read_file(file);
        std::vector<std::string> kept;
        for (const std::string& name : entries(tmp)) {
            if (name.rfind("KIV", 0) == 0) {
                kept.push_back(tmp + "/" + name);
            }
        }
        if (result == KIVSUBST_REPLACED) {
            EXPECT_EQ(now, new_content()) << "success reported for a file without the result";
            EXPECT_TRUE(kept.empty()) << "a temporary file was left after success";
        } else {
            EXPECT_NE(result, KIVSUBST_NOT_FOUND);
            bool whole = now == old_content() ||
                         (result == KIVSUBST_COPY_ERROR && kept.size() == 1 &&
                          kivtest::read_file(kept.front()) == new_content());
            EXPECT_TRUE(whole) << "result " << result << " lost the file's content";
        }
        for (const std::string& name : kept) {
            std::remove(name.c_str());
        }
    }

    int faults_ = 0;
    int failures_seen_ = 0;

    void TearDown() override {
        std::printf("faults injected: %d, calls that failed: %d, content lost: %s\n", faults_,
                    failures_seen_, HasFailure() ? "yes" : "never");
        SubstFault::TearDown();
    }

    int call(const std::string& file) const { return replace(file, pattern, replacement).result; }
};

// The file, TMP, or both on one small file system, with the room left
// stepping from nothing to more than the call needs, so that the disk fills
// during the scan, during the write-back, or not at all.
TEST_F(SubstFaultSweep, FullFileSystemsAtEveryPointOfACall) {
    kivtest::TmpfsMount small(path("small"), 1024 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    struct Layout {
        std::string file;
        std::string tmp;
    };
    kivtest::make_directory(path("small/tmp"));
    const Layout layouts[] = {
        {path("small/file"), path("tmp")},        // the file's file system fills
        {path("file"), path("small/tmp")},        // TMP's file system fills
        {path("small/file"), path("small/tmp")},  // one file system for both
    };
    for (const Layout& layout : layouts) {
        for (unsigned long long room = 0; room <= 480 * 1024; room += 24 * 1024) {
            SCOPED_TRACE(::testing::Message() << layout.file << ", TMP " << layout.tmp << ", room "
                                              << room);
            std::remove(path("small/filler").c_str());
            write_file(layout.file, old_content());
            kivtest::fill_file_system(path("small"), room);
            kivtest::set_environment("TMP", layout.tmp);
            expect_nothing_lost(call(layout.file), layout.file, layout.tmp);
        }
    }
}

// Places that refuse writes altogether: a read-only mount and an immutable
// file or directory, for the file and for TMP.
TEST_F(SubstFaultSweep, PlacesThatRefuseWrites) {
    kivtest::TmpfsMount frozen(path("frozen"), 1024 * 1024);
    if (!frozen.ok()) {
        GTEST_SKIP() << frozen.error();
    }
    write_file(path("frozen/file"), old_content());
    kivtest::make_directory(path("frozen/tmp"));
    ASSERT_TRUE(frozen.make_read_only());
    expect_nothing_lost(call(path("frozen/file")), path("frozen/file"), path("tmp"));
    kivtest::set_environment("TMP", path("frozen/tmp"));
    write_file(path("file"), old_content());
    int refused = call(path("file"));
    EXPECT_EQ(refused, KIVSUBST_NO_TEMP_FILE);
    expect_nothing_lost(refused, path("file"), path("frozen/tmp"));

    kivtest::set_environment("TMP", path("tmp"));
    {
        kivtest::UnwritableFile immutable(path("file"));
        ASSERT_TRUE(immutable.ok()) << immutable.error();
        expect_nothing_lost(call(path("file")), path("file"), path("tmp"));
    }
    {
        kivtest::UnwritableFile immutable(path("tmp"));
        ASSERT_TRUE(immutable.ok()) << immutable.error();
        expect_nothing_lost(call(path("file")), path("file"), path("tmp"));
    }
}

// A user who may read the file but not write it, may not read it, or may
// not create files in TMP.
TEST_F(SubstFaultSweep, AUserWithoutTheRights) {
    struct Case {
        mode_t file_mode;
        mode_t tmp_mode;
    };
    const Case cases[] = {{0644, 0777}, {0600, 0777}, {0666, 0755}};
    for (const Case& rights : cases) {
        SCOPED_TRACE(::testing::Message() << std::oct << rights.file_mode << " " << rights.tmp_mode);
        write_file(path("file"), old_content());
        ASSERT_EQ(::chmod(path("file").c_str(), rights.file_mode), 0);
        ASSERT_EQ(::chmod(path("tmp").c_str(), rights.tmp_mode), 0);
        std::string why_not;
        int result = kivtest::run_as_nobody([&] { return call(path("file")); }, why_not);
        if (result < 0) {
            GTEST_SKIP() << why_not;
        }
        EXPECT_NE(result, KIVSUBST_REPLACED);
        ASSERT_EQ(::chmod(path("tmp").c_str(), 0777), 0);
        expect_nothing_lost(result, path("file"), path("tmp"));
    }
}

}  // namespace

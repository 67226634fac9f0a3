// SPDX-License-Identifier: Zlib
// A target set aside on Windows is held until its fate is settled: while
// one call waits to put its new file in the name, no other call's settling
// puts the old file back into the empty name, and no other call renames or
// deletes it by name.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "kivfs/aside.h"
#include "kivfs/wtf8.h"
#include "kivtest/files.h"

namespace {

class HeldAside : public kivtest::WorkDirTest {
protected:
    // The whole path in the system's own form, as the callers give it.
    std::wstring whole(const std::string& name) const {
        std::wstring whole = kivfs::wide_from_wtf8(path(name));
        std::replace(whole.begin(), whole.end(), L'/', L'\\');
        return whole;
    }
};

TEST_F(HeldAside, KeepsTheOldFileFromOtherCallsUntilItsFateIsSettled) {
    kivtest::write_file(path("tool"), "old tool");
    kivfs::HeldAside aside;
    unsigned long error = 0;
    ASSERT_TRUE(aside.take(whole("tool"), error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path("tool")));

    // Another call's settling finds the was-file and the name empty, as a
    // killed call leaves them, but the file is held: it stays aside.
    kivfs::settle_asides(whole("tool"));
    EXPECT_FALSE(std::filesystem::exists(path("tool")))
        << "another call's settling put back a file that a live call set aside";
    EXPECT_FALSE(::MoveFileExW(aside.path().c_str(), whole("tool").c_str(), 0));
    EXPECT_FALSE(::DeleteFileW(aside.path().c_str()));

    // A newer file takes the name, and another call sets that one aside in
    // turn: the first file is now superseded, and goes at its release.
    kivtest::write_file(path("tool"), "new tool");
    kivfs::HeldAside newer;
    ASSERT_TRUE(newer.take(whole("tool"), error)) << error;
    EXPECT_TRUE(newer.put_back());
    EXPECT_FALSE(aside.put_back()) << "the old file went back over a newer one";
    EXPECT_TRUE(aside.supersede());
    const std::wstring old_path = aside.path();
    aside.release();
    EXPECT_EQ(::GetFileAttributesW(old_path.c_str()), INVALID_FILE_ATTRIBUTES);
    newer.release();
    EXPECT_EQ(kivtest::read_file(path("tool")), "new tool");
}

// A target that another call holds open to rename it (with DELETE access,
// sharing it in every way, as a rename by name does) cannot be set aside
// from under it: nothing is held, and the file stays at its name.
TEST_F(HeldAside, LeavesATargetThatAnotherCallIsRenaming) {
    kivtest::write_file(path("tool"), "tool");
    HANDLE other = ::CreateFileW(whole("tool").c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    kivfs::HeldAside aside;
    unsigned long error = 0;
    EXPECT_FALSE(aside.take(whole("tool"), error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(aside.held());
    ::CloseHandle(other);
    EXPECT_EQ(kivtest::read_file(path("tool")), "tool");
}

}  // namespace
#endif

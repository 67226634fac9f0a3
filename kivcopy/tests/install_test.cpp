// SPDX-License-Identifier: Zlib
// What an install leaves on disk, on every system, through the export: the
// new file whole at the target with the copy's stamp, the guard, the
// failures that leave the target as it was, and never a staged file left
// beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "kivcopy.h"
#include "kivtest/files.h"

namespace {

using kivtest::read_file;
using kivtest::Time;
using kivtest::write_file;

class Install : public kivtest::WorkDirTest {
protected:
    int install(const std::string& source, const std::string& target, int flags) {
        return KivInstallFile(source.c_str(), target.c_str(), flags);
    }

    // The names in a folder of the work directory, sorted.
    std::vector<std::string> names_in(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("media"));
        kivtest::make_directory(path("app"));
    }
};

TEST_F(Install, PutsANewFileInPlaceWithTheCopysStamp) {
    write_file(path("media/tool"), "new bytes");
    const Time access{1700000000, 123456700};
    kivtest::set_times(path("media/tool"), access, Time{1600000000, 500});
    ASSERT_EQ(install(path("media/tool"), path("app/tool"), 0), KIVCOPY_OK);
    // The times first: reading the file may move its access time.
    EXPECT_EQ(kivtest::access_time(path("app/tool")), access);
    EXPECT_EQ(kivtest::modification_time(path("app/tool")), access);
    EXPECT_EQ(read_file(path("app/tool")), "new bytes");
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"tool"});
}

// Without KIVINSTALL_REPLACE an existing target stays, restart or not; with
// it the target is replaced, whatever its size was.
TEST_F(Install, ReplacesAnExistingTargetOnlyWhenAllowed) {
    write_file(path("media/app.ini"), "new");
    write_file(path("app/app.ini"), std::string(100000, 'o'));
    for (int flags : {0, KIVINSTALL_AT_RESTART}) {
        SCOPED_TRACE(flags);
        EXPECT_EQ(install(path("media/app.ini"), path("app/app.ini"), flags), KIVCOPY_TARGET_EXISTS);
        EXPECT_EQ(read_file(path("app/app.ini")), std::string(100000, 'o'));
    }
    EXPECT_EQ(install(path("media/app.ini"), path("app/app.ini"), KIVINSTALL_REPLACE), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/app.ini")), "new");
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"app.ini"});
}

// Each failure leaves the target as it was and no staged file behind.
TEST_F(Install, LeavesTheTargetAsItWasWhenItFails) {
    write_file(path("media/file"), "new");
    write_file(path("app/file"), "old");
    kivtest::make_directory(path("app/folder"));
    const int both = KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART;
    EXPECT_EQ(install(path("media/missing"), path("app/file"), both), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(install(path("media"), path("app/file"), both), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(install(path("media/file"), path("app/folder"), both), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(install(path("media/file"), path("app/none/file"), both),
              KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(install(path("app/file"), path("app/file"), both), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(KivInstallFile(nullptr, path("app/file").c_str(), both), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(KivInstallFile(path("media/file").c_str(), nullptr, both),
              KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(read_file(path("app/file")), "old");
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"file", "folder"}));
}

#if defined(_WIN32)
// A call killed between renaming a target in use aside and renaming the
// new file onto its name leaves the old file under a ".kiv-was-" name: the
// next call in the folder puts it back where the name is still empty, and
// removes it where the new file took the name before the kill.
TEST_F(Install, PutsBackATargetThatAKilledCallLeftAside) {
    write_file(path("media/other"), "other");
    write_file(path("app/.tool.kiv-was-0123456789abcdef"), "old tool");
    write_file(path("app/.app.ini.kiv-was-fedcba9876543210"), "old ini");
    write_file(path("app/app.ini"), "new ini");
    ASSERT_EQ(install(path("media/other"), path("app/other"), 0), KIVCOPY_OK);
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"app.ini", "other", "tool"}));
    EXPECT_EQ(read_file(path("app/tool")), "old tool");
    EXPECT_EQ(read_file(path("app/app.ini")), "new ini");
}
#endif

}  // namespace

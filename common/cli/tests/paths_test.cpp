// SPDX-License-Identifier: Zlib
// Names joined for messages go on with the separator their directory's
// text uses; a backup suffix may name no other directory, nor on Windows a
// stream of the file.
#include <gtest/gtest.h>

#include <string>

#include "kivcli/backup_names.h"
#include "kivcli/folder.h"
#include "kivcli/paths.h"

namespace {

using kivcli::join;

TEST(Paths, JoinsWithTheSeparatorTheDirectoryUses) {
    EXPECT_EQ(join("out", "a"), "out/a");
    EXPECT_EQ(join("out/", "a"), "out/a");
    EXPECT_EQ(join("", "a"), "a");
    EXPECT_EQ(join("/srv/out", "a"), "/srv/out/a");
    EXPECT_EQ(kivcli::join_shown("media/app", "a"), "media/app/a");
#if defined(_WIN32)
    EXPECT_EQ(join("C:\\out", "a"), "C:\\out\\a");
    EXPECT_EQ(join("C:\\out\\", "a"), "C:\\out\\a");
    EXPECT_EQ(join("C:/out", "a"), "C:/out/a");
    EXPECT_EQ(join("C:\\temp/out", "a"), "C:\\temp/out/a");  // the nearest one
    EXPECT_EQ(join("C:", "a"), "C:a");                        // the drive's current folder
    EXPECT_EQ(kivcli::join_shown("C:\\app", "a"), "C:\\app\\a");
#else
    EXPECT_EQ(join("back\\slash", "a"), "back\\slash/a");  // a name's own byte
#endif
}

TEST(Paths, RefusesBackupSuffixesThatNameAnotherPlace) {
    EXPECT_TRUE(kivcli::is_valid_backup_suffix("~"));
    EXPECT_TRUE(kivcli::is_valid_backup_suffix(".orig"));
    EXPECT_FALSE(kivcli::is_valid_backup_suffix(""));
    EXPECT_FALSE(kivcli::is_valid_backup_suffix("/x"));
    EXPECT_FALSE(kivcli::is_valid_backup_suffix("a\\b"));
#if defined(_WIN32)
    EXPECT_FALSE(kivcli::is_valid_backup_suffix(":s"));
#else
    EXPECT_TRUE(kivcli::is_valid_backup_suffix(":s"));
#endif
}

}  // namespace

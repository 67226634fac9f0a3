// SPDX-License-Identifier: Zlib
// Linux only. The file keeps who it is through a substitution: its inode
// and mode, the set-ID bits of an owner patching its own program, and the
// capabilities of a file that root patches.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "subst_faults.h"

namespace {

using kivtest::read_file;
using kivtest::SubstFault;
using kivtest::write_file;

TEST_F(SubstFault, KeepsTheFilesInodeAndMode) {
    write_file(path("file"), "version=1");
    ASSERT_EQ(::chmod(path("file").c_str(), 0640), 0);
    const ino_t inode = kivtest::status_of(path("file")).st_ino;
    EXPECT_EQ(replace(path("file"), "1", "2").result, 0);
    struct stat status = kivtest::status_of(path("file"));
    EXPECT_EQ(status.st_ino, inode);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A write by a caller without the privilege clears the set-user-ID and
// set-group-ID bits; the owner patching its own program puts them back.
TEST_F(SubstFault, KeepsTheSetIdBitsOfAnOwnerPatchingItsOwnFile) {
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0777), 0);
    std::string why_not;
    int result = kivtest::run_as_nobody(
        [&] {
            write_file(path("tool"), "version=1");
            if (::chmod(path("tool").c_str(), 04755) != 0) {
                return 99;
            }
            return replace(path("tool"), "1", "2").result;
        },
        why_not);
    if (result < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(path("tool")), "version=2");
    EXPECT_EQ(kivtest::status_of(path("tool")).st_mode & 07777, 04755u);
}

// Every write drops a file's capabilities; root patching the file puts
// them back.
TEST_F(SubstFault, KeepsTheFileCapabilitiesWhenRootPatches) {
    write_file(path("server"), "version=1");
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
    const char* attribute = "security.capability";
    if (::setxattr(path("server").c_str(), attribute, &capability, sizeof capability, 0) != 0) {
        GTEST_SKIP() << "this file system or user cannot give a file capabilities: "
                     << std::strerror(errno);
    }
    EXPECT_EQ(replace(path("server"), "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(path("server")), "version=2");
    vfs_cap_data kept{};
    EXPECT_EQ(::getxattr(path("server").c_str(), attribute, &kept, sizeof kept),
              static_cast<ssize_t>(sizeof kept));
    EXPECT_EQ(std::memcmp(&kept, &capability, sizeof kept), 0);
}

}  // namespace

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
#include <functional>
#include <string>
#include <utility>

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

constexpr const char* capability_attribute = "security.capability";

// The capability to bind low ports, as a file's attribute holds it.
vfs_cap_data low_ports_capability() {
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
    return capability;
}

// Gives a file the capability to bind low ports: "", or why this file
// system or user cannot give a file capabilities.
std::string give_capability(const std::string& file) {
    const vfs_cap_data capability = low_ports_capability();
    if (::setxattr(file.c_str(), capability_attribute, &capability, sizeof capability, 0) != 0) {
        return std::string("this file system or user cannot give a file capabilities: ") +
               std::strerror(errno);
    }
    return "";
}

bool has_capability(const std::string& file) {
    return ::getxattr(file.c_str(), capability_attribute, nullptr, 0) >= 0;
}

// Every write drops a file's capabilities; root patching the file puts
// them back.
TEST_F(SubstFault, KeepsTheFileCapabilitiesWhenRootPatches) {
    write_file(path("server"), "version=1");
    const std::string why_not = give_capability(path("server"));
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(replace(path("server"), "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(path("server")), "version=2");
    vfs_cap_data kept{};
    EXPECT_EQ(::getxattr(path("server").c_str(), capability_attribute, &kept, sizeof kept),
              static_cast<ssize_t>(sizeof kept));
    const vfs_cap_data given = low_ports_capability();
    EXPECT_EQ(std::memcmp(&kept, &given, sizeof kept), 0);
}

// Acts just before the write-back opens the file: the second time the
// call opens it by name, the first being the read.
kivtest::OpenHook at_the_write_back(const std::string& file, std::function<void()> action) {
    return kivtest::OpenHook(
        [file, seen = 0](const std::string& opened, int) mutable {
            return opened == file && ++seen == 2;
        },
        std::move(action));
}

// Deletes `file` and makes a new one at its name, holding "mine", trying to
// have it get the old file's inode number: a file system that hands out the
// lowest free number (ext4) gives it back once the lower free ones are
// taken, unless something still holds the old file open.
void replace_by_a_file_with_the_same_number(const std::string& file) {
    const ino_t old_number = kivtest::status_of(file).st_ino;
    ASSERT_EQ(::unlink(file.c_str()), 0);
    for (int attempt = 0; attempt < 4096; ++attempt) {
        const std::string decoy = file + ".decoy" + std::to_string(attempt);
        write_file(decoy, "mine");
        const ino_t number = kivtest::status_of(decoy).st_ino;
        if (number == old_number) {
            ASSERT_EQ(::rename(decoy.c_str(), file.c_str()), 0);
            return;
        }
        if (number > old_number) {
            break;  // the old number is not free: it would have come first
        }
    }
    write_file(file, "mine");
}

// Someone who may write the file's directory deletes the file between the
// read and the write-back and makes a file of their own at its name with
// the old file's inode number, which a file system gives back as soon as
// nothing holds the old file open. The write-back would then take the new
// file for the one it read, write root's content into it and put the old
// file's capabilities on it.
TEST_F(SubstFault, NeverWritesBackIntoAFileMadeAtTheNameDuringTheCall) {
    write_file(path("server"), "secret=1");
    const std::string why_not = give_capability(path("server"));
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    kivtest::OpenHook replace_file = at_the_write_back(
        path("server"), [&] { replace_by_a_file_with_the_same_number(path("server")); });
    EXPECT_EQ(replace(path("server"), "1", "2").result, KIVSUBST_COPY_ERROR);
    EXPECT_TRUE(replace_file.fired());
    EXPECT_EQ(read_file(path("server")), "mine");
    EXPECT_FALSE(has_capability(path("server")));
    EXPECT_EQ(read_file(kept_temporary()), "secret=2");
}

// The set-ID bits and capabilities belong to the file as its owner and
// group held it. A file that changed hands between the read and the
// write-back is written, but gets neither back.
TEST_F(SubstFault, PutsPrivilegesBackOnlyWhileTheOwnerIsTheSame) {
    write_file(path("tool"), "version=1");
    ASSERT_EQ(::chmod(path("tool").c_str(), 06755), 0);
    const std::string why_not = give_capability(path("tool"));
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    kivtest::OpenHook hand_over = at_the_write_back(
        path("tool"), [&] { ASSERT_EQ(::chown(path("tool").c_str(), 65534, 65534), 0); });
    EXPECT_EQ(replace(path("tool"), "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_TRUE(hand_over.fired());
    EXPECT_EQ(read_file(path("tool")), "version=2");
    EXPECT_EQ(kivtest::status_of(path("tool")).st_mode & 06000, 0u);
    EXPECT_FALSE(has_capability(path("tool")));
}

}  // namespace

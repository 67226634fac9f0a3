// SPDX-License-Identifier: Zlib
// POSIX services for the substitution: paths, and what a write may strip
// from a file (kivfs::File is the file itself, kivfs::Directory a
// directory). A batch's syncs are in durability.cpp.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <utility>

#include "kivcommon/posix_io.h"
#include "paths.h"
#include "platform_posix.h"

namespace kivsubst::platform {
namespace {

// The attribute that holds a file's capabilities.
constexpr const char* capability_attribute = "security.capability";

// The bits that an ordinary write may clear.
constexpr mode_t set_id_bits = S_ISUID | S_ISGID;

// How much the kernel copies at a time, so that the disk can be asked to
// start on the copied data every few MiB (File::hint_writeback).
constexpr std::int64_t kernel_copy_chunk = std::int64_t{8} << 20;

}  // namespace

// Paths are bytes here, taken and printed as they are.
std::optional<Path> path_from_narrow(const char* path) {
    return Path(path);
}

std::string narrow_path(const Path& path) {
    return path;
}

Path ascii_path(const std::string& text) {
    return text;
}

std::optional<Path> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<Path>(value) : std::nullopt;
}

bool exists(const Path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

int last_error() {
    return errno;
}

std::string describe(int error) {
    return std::strerror(error);
}

// The mode and owners come from the status the caller read of this file.
Privileges privileges_of(const File& file, const FileStatus& status) {
    Privileges privileges;
    privileges.mode = status.mode;
    privileges.owner = status.owner;
    privileges.group = status.group;
    ssize_t size = ::fgetxattr(file.handle(), capability_attribute, nullptr, 0);
    if (size > 0) {
        privileges.capability.resize(static_cast<std::size_t>(size));
        size = ::fgetxattr(file.handle(), capability_attribute, privileges.capability.data(),
                           privileges.capability.size());
        privileges.has_capability = size > 0;
        privileges.capability.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    }
    return privileges;
}

// Only what the write took is put back: the set-ID bits if they are gone
// (the owner may set them on its own file), the capabilities if they are
// gone (only a caller with the privilege to set capabilities may). What the
// caller may not do is left as the write left it. A file that has changed
// hands since the privileges were recorded gets neither: they were granted
// to the file as its owner and group held it, not to whoever holds it now.
void restore(File& file, const Privileges& privileges) {
    if ((privileges.mode & set_id_bits) == 0 && !privileges.has_capability) {
        return;  // nothing that a write strips
    }
    struct stat status {};
    if (::fstat(file.handle(), &status) != 0 || status.st_uid != privileges.owner ||
        status.st_gid != privileges.group) {
        return;
    }
    if ((privileges.mode & set_id_bits) != 0 && (status.st_mode & 07777) != privileges.mode) {
        ::fchmod(file.handle(), static_cast<mode_t>(privileges.mode));
    }
    if (privileges.has_capability &&
        ::fgetxattr(file.handle(), capability_attribute, nullptr, 0) < 0) {
        ::fsetxattr(file.handle(), capability_attribute, privileges.capability.data(),
                    privileges.capability.size(), 0);
    }
}

// copy_file_range moves the bytes inside the kernel, as the system's own
// copy tools do. It refuses file pairs it cannot handle (other file systems,
// special files) before copying anything.
KernelCopy copy_inside_system(File& source, File& target, std::int64_t length,
                              std::int64_t& copied) {
    copied = 0;
    while (copied < length) {
        const std::int64_t wanted = std::min(kernel_copy_chunk, length - copied);
        ssize_t moved = ::copy_file_range(source.handle(), nullptr, target.handle(), nullptr,
                                          static_cast<std::size_t>(wanted), 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            bool refused = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EBADF;
            return copied == 0 && refused ? KernelCopy::unsupported : KernelCopy::failed;
        }
        if (moved == 0) {
            return KernelCopy::copied;
        }
        copied += moved;
        target.hint_writeback(moved);
    }
    return KernelCopy::copied;
}

// No ANSI code page outside Windows: replaceText turns encoding 4 away
// before it gets here.
std::optional<std::string> ansi_from_utf16(const std::u16string&) {
    return std::nullopt;
}

bool ansi_lead_bytes(std::array<bool, 256>&) {
    return false;
}

}  // namespace kivsubst::platform

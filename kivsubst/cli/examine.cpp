// SPDX-License-Identifier: Zlib
// The file checks and the count, on the library's own platform layer and
// scan: a count taken here is the count that the library's call would find.
#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // files above 2 GiB on 32-bit hosts too
#endif

#include "examine.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "kivsubst.h"
#include "paths.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kivcommon/posix_io.h"
#endif

namespace kivsubst_cli {

using kivsubst::platform::File;

// The operand is split as the library will split it: on Windows as text
// of the ANSI code page, so that the second byte of a double-byte
// character is never taken for a separator.
std::string library_path(const std::string& operand) {
    const std::optional<kivsubst::Path> path =
        kivsubst::platform::path_from_narrow(operand.c_str());
    if (operand.empty() || !path || !kivsubst::paths::directory_part(*path).empty()) {
        return operand;
    }
    return std::string(".") + static_cast<char>(kivsubst::paths::separator) + operand;
}

#if defined(_WIN32)

// The library's own open. Windows sets access times on reads only where
// the volume has them turned on, and then with a delay of up to an hour.
File open_to_examine(const std::string& path, std::string& reason) {
    const std::optional<kivsubst::Path> native = kivsubst::platform::path_from_narrow(path.c_str());
    File file = native ? File::open_for_reading(*native) : File();
    if (!file.is_open()) {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            reason = std::strerror(EISDIR);
        } else {
            reason = _access(path.c_str(), 4) != 0 ? std::strerror(errno)
                                                    : "not a regular file, or in use";
        }
    }
    return file;
}

// A file that another program holds open without write sharing passes
// _access but cannot be opened for writing: the open itself is the test.
// Opening for writing changes nothing in the file.
bool is_writable(const std::string& path, std::string& reason) {
    if (_access(path.c_str(), 2) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    const std::optional<kivsubst::Path> native = kivsubst::platform::path_from_narrow(path.c_str());
    if (!native || !File::open_for_overwriting(*native).is_open()) {
        reason = "in use by another program";
        return false;
    }
    return true;
}

namespace {
File open_discarding_output() {
    HANDLE handle = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? File() : File(handle);
}
}  // namespace

#else

namespace {

File open_discarding_output() {
    const int fd = kivcommon::open_retrying(AT_FDCWD, "/dev/null", O_WRONLY);
    return fd < 0 ? File() : File(fd);
}

}  // namespace

// The name is resolved without opening anything, and only a regular file
// is opened, as the library opens one: a FIFO, a device or a terminal at
// the name is turned away unopened. O_NOATIME, which only the file's owner
// (or a privileged caller) may ask for, keeps the read from setting the
// access time; anyone else reads as any reader does.
File open_to_examine(const std::string& path, std::string& reason) {
    const kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(AT_FDCWD, path.c_str());
    if (name.exists() && !name.is_regular()) {
        reason = S_ISDIR(name.status().st_mode) ? std::strerror(EISDIR) : "not a regular file";
        return File();
    }
#if defined(O_NOATIME)
    int fd = name.reopen(O_RDONLY | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        fd = name.reopen(O_RDONLY);
    }
#else
    int fd = name.reopen(O_RDONLY);
#endif
    if (fd < 0) {
        reason = std::strerror(errno);
        return File();
    }
    return File(fd);
}

// Asked as the library will open the file: with the caller's effective
// identity. A read-only file system and an immutable file are refused too.
bool is_writable(const std::string& path, std::string& reason) {
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

#endif

Counter::Counter(const std::vector<kivsubst::Pair>& pairs)
    : scanner_(pairs), discard_(open_discarding_output()) {
    if (!discard_.is_open()) {
        discard_error_ = std::string("cannot open the null device: ") + std::strerror(errno);
    }
}

int Counter::problem(std::string& reason) const {
    if (!scanner_.ready()) {
        reason = "out of memory";
        return KIVSUBST_NO_MEMORY;
    }
    if (!discard_.is_open()) {
        reason = discard_error_;
        return KIVSUBST_COPY_ERROR;
    }
    return 0;
}

bool Counter::count(File& file, std::uint64_t& occurrences, std::string& reason) {
    const std::int64_t length = file.length();
    if (length < 0) {
        reason = std::strerror(errno);
        return false;
    }
    errno = 0;
    const kivsubst::ScanOutcome outcome = scanner_.run(file, length, discard_);
    if (outcome.kind != kivsubst::ScanOutcome::Kind::complete) {
        reason = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    occurrences = outcome.replacements;
    return true;
}

}  // namespace kivsubst_cli

/* SPDX-License-Identifier: Zlib */
// The words every part of the system uses for the same things: an open
// file, a path, a file time, what tells one file from another, whether a
// link is followed and how creating a file went. Both libraries, their
// front ends and the conversions between them take these types, so that a
// time or an identity passes from one to another as it is.
#ifndef KIVCOMMON_TYPES_H
#define KIVCOMMON_TYPES_H

#include <cstdint>
#include <string>

namespace kivcommon {

#if defined(_WIN32)
using NativeHandle = void*;  // a Win32 HANDLE
#else
using NativeHandle = int;  // a POSIX file descriptor
#endif

// A path as the system takes it: bytes on POSIX, UTF-16 on Windows, where
// every path goes to the system's wide functions, so that no name is
// limited to what the ANSI code page can write.
#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using Path = std::basic_string<PathChar>;

// A file time since 1970-01-01 at the precision the platform keeps
// (nanoseconds on POSIX, 100 nanoseconds on Windows).
struct FileTime {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
    bool operator==(const FileTime& other) const {
        return seconds == other.seconds && nanoseconds == other.nanoseconds;
    }
    bool operator<(const FileTime& other) const {
        return seconds != other.seconds ? seconds < other.seconds
                                        : nanoseconds < other.nanoseconds;
    }
};

// A file's last access and last modification.
struct FileTimes {
    FileTime access;
    FileTime modification;
};

// What tells one file from another on its volume, whatever its names.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
    bool operator<(const FileIdentity& other) const {
        return volume != other.volume ? volume < other.volume : index < other.index;
    }
};

// Whether a symbolic link at a name is followed when the name is resolved
// or opened. Windows follows every link: its front ends name files by their
// whole path, take no link of anyone else's, and check identities so that a
// swapped name is not written.
enum class Links { follow, refuse };

// How creating a new file under a name that must not exist yet went: made,
// the name already taken (by anything, even a dangling link), or failed
// otherwise (the system's error says why).
enum class Creation { created, name_taken, failed };

}  // namespace kivcommon

#endif

// The operating-system services that the copy needs beyond standard C
// streams. Each platform implements them in its own file; the build picks one.
#ifndef KIVCOPY_PLATFORM_H
#define KIVCOPY_PLATFORM_H

#include <cstdint>
#include <cstdio>

namespace kivcopy::platform {

// A file time at the precision the platform keeps (nanoseconds on POSIX).
struct FileTime {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
};

// Opens the source for binary reading. Anything but a regular file (a
// directory, a FIFO, a device) is refused like a file that cannot be
// opened, without waiting on it.
std::FILE* open_source(const char* path);

// The outcome of opening the target for writing.
struct TargetStream {
    std::FILE* stream = nullptr;  // open and empty on success
    bool is_source = false;       // the target is the open source itself
};

// Opens the target for binary writing, creating it or truncating it to
// nothing; an existing target that is not a regular file is refused. When
// the target turns out to be the same file as `source` (another path, a hard
// link or a symbolic link to it), it is neither truncated nor kept open, and
// is_source is set instead.
TargetStream open_target(const char* path, std::FILE* source);

// Reads the last-access time of an open file. Where the file system keeps no
// access time, the platform reports the modification time in its place.
bool read_access_time(std::FILE* file, FileTime& time);

// Sets both the access and the modification time of the file at `path`.
bool set_both_times(const char* path, FileTime time);

}  // namespace kivcopy::platform

#endif

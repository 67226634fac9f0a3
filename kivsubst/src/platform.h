// The operating-system services that the substitution needs: files by
// descriptor, file status and times, names and directories. Each platform
// implements them in its own file; the build picks one.
#ifndef KIVSUBST_PLATFORM_H
#define KIVSUBST_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kivsubst::platform {

struct FileTime {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
};

struct FileTimes {
    FileTime access;
    FileTime modification;
};

// The file's access and modification times, by path; none if the file's
// status cannot be read.
std::optional<FileTimes> read_times(const char* path);

// Sets both times of the file at `path`; false if they cannot be set.
bool set_times(const char* path, const FileTimes& times);

// Whether something exists at `path` (following links).
bool exists(const std::string& path);

// Whether a name is free for a new file. A name that is taken, even by a
// dangling symbolic link, or whose check is refused, is not free.
bool name_is_free(const std::string& path);

// The value of an environment variable; none when it is not set.
std::optional<std::string> environment(const char* name);

// The drive and directory part of a path, with its trailing separator
// (empty when the path has neither).
std::string directory_part(const std::string& path);

std::string root_directory();
std::string current_directory();
bool ends_with_separator(const std::string& path);
constexpr char separator = '/';

// Makes durable the directory entries of the directory `directory`.
bool sync_directory(const std::string& directory);

bool remove_file(const std::string& path);

// How creating a new file went.
enum class Creation { created, name_taken, failed };

// How reserving space went.
enum class Reservation { reserved, no_space, unsupported };

// How a copy inside the operating system went.
enum class KernelCopy { copied, failed, unsupported };

// An open file, closed when it goes out of scope. Reads and writes move
// whole requests: they retry on interruption and continue after short
// transfers, and report any failure.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing regular file for reading. Anything else (a
    // directory, a FIFO, a device) is refused, without waiting on it.
    static File open_for_reading(const char* path);
    // Creates a new file for reading and writing, readable by its owner only.
    // An existing name, even a symbolic link, is never opened.
    static File create_new(const std::string& path, Creation& outcome);
    // Opens an existing regular file for writing, keeping its content for
    // now. Anything else is refused, as for reading.
    static File open_for_overwriting(const char* path);

    bool is_open() const;
    // The file's length; -1 if its status cannot be read.
    std::int64_t length() const;
    // Reads up to `size` bytes; returns how many (0 at the end), or -1.
    std::ptrdiff_t read_some(void* buffer, std::size_t size);
    bool write_all(const void* bytes, std::size_t size);
    bool rewind();
    // Reserves the disk space for the first `length` bytes without
    // changing the file's length or content.
    Reservation reserve(std::int64_t length);
    bool truncate(std::int64_t length);
    // Copies what remains of `source` from its position to this file's
    // position without passing the bytes through the process, where the
    // system can; `copied` counts the bytes. Unsupported means that nothing
    // was copied and the caller must copy by reading and writing.
    KernelCopy copy_from(File& source, std::int64_t& copied);
    // Makes the file's data durable.
    bool sync();
    // Closes the file; false if the close reports an error.
    bool close();

private:
    // A descriptor on POSIX, a handle on Windows; -1 when closed.
    explicit File(std::intptr_t descriptor) : descriptor_(descriptor) {}
    static File open_regular(const char* path, int flags);
    void note_written(std::int64_t bytes);

    std::intptr_t descriptor_ = -1;
    std::int64_t written_since_writeback_ = 0;  // bytes not yet handed to the disk
};

}  // namespace kivsubst::platform

#endif

/* SPDX-License-Identifier: Zlib */
// An open file, as both libraries and their front ends hold one: opened,
// created exclusively, read, written, sized, timed, synced and closed
// through its handle, never by name again once it is open, so that a name
// swapped between two calls cannot redirect what is changed. Each platform
// implements it in its own file (file_posix.cpp, file_win32.cpp).
#ifndef KIVFS_FILE_H
#define KIVFS_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "kivfs/types.h"

namespace kivfs {

// What one status read of an open file gives.
struct FileStatus {
    FileIdentity identity;
    std::int64_t length = 0;
    FileTimes times;
    unsigned mode = 0;        // the permission bits, set-ID bits included (POSIX)
    std::uint64_t owner = 0;  // the user and group that own the file (POSIX)
    std::uint64_t group = 0;
};

// What an existing file is opened for.
enum class Access { read, write };

// How reserving room on the volume went.
enum class Reservation { reserved, no_space, unsupported };

// An open file, closed when it goes out of scope unless closed before.
class File {
public:
    // What is known of the file's directory entry, which a sync of the
    // file's batch makes durable with the file: nothing (a handle taken
    // over, a file created by its path: the batch finds its directory),
    // that it was there before the file was opened (nothing to make
    // durable), or that a held directory made it (that directory is synced
    // with the batch).
    enum class Entry { unknown, existing, made_by_directory };

    File() = default;
    // Takes over an open handle.
    explicit File(NativeHandle handle, Entry entry = Entry::unknown)
        : handle_(handle), open_(true), entry_(entry) {}
    ~File() { close(); }
    File(File&& other) noexcept { *this = std::move(other); }
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            open_ = std::exchange(other.open_, false);
            entry_ = other.entry_;
            unhinted_bytes_ = other.unhinted_bytes_;
            times_at_open_ = other.times_at_open_;
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing regular file for reading. Anything else (a
    // directory, a FIFO, a device) is refused, without waiting on it.
    static File open_for_reading(const Path& path);
    // Creates a new file for reading and writing, readable by its owner only.
    // An existing name, even a symbolic link, is never opened.
    static File create_new(const Path& path, Creation& outcome);
    // Opens an existing regular file for writing, keeping its content for
    // now. Anything else is refused, as for reading.
    static File open_for_overwriting(const Path& path);

    bool is_open() const { return open_; }
    // The file's length; -1 if its status cannot be read.
    std::int64_t length() const;
    // Who the file is, how long it is and its times, from one status read;
    // none if its status cannot be read. The times are those the file had
    // when it was opened where opening it may read it (Windows, below).
    std::optional<FileStatus> status() const;
    // Sets the file's access and modification times; false if they cannot
    // be set.
    bool set_times(const FileTimes& times);
    // Reads up to `size` bytes; returns how many (0 at the end), or -1.
    std::ptrdiff_t read_some(void* buffer, std::size_t size);
    // The same at `offset`, wherever the file's position is.
    std::ptrdiff_t read_at(std::int64_t offset, void* buffer, std::size_t size);
    // Writes every byte, retrying interrupted and partial writes; false as
    // soon as a write fails or makes no progress.
    bool write_all(const void* bytes, std::size_t size);
    // Counts `written` bytes just put into the file, and asks the disk to
    // start writing them every few MiB instead of leaving all of them to
    // the sync at the end (POSIX), so that the disk works while the data is
    // still being made. Only a hint: the sync still decides what is durable.
    void hint_writeback(std::int64_t written);
    // Places the file at `offset`, for the next read or write.
    bool seek_to(std::int64_t offset);
    // Sets the file's size; growing it adds a hole, or zeros where the
    // volume keeps none.
    bool set_size(std::int64_t size);
    // Reserves room on the volume for [offset, offset + length) of this
    // file before it is written, without changing the file's size or what
    // it reads as. Windows reserves only from the file's start: a range
    // further on is unsupported there, as is any range on a volume that
    // cannot reserve. An empty range is reserved at once.
    Reservation reserve(std::int64_t offset, std::int64_t length);
    // Keeps every other program from writing to the file until it is closed,
    // where locks bind every writer (Windows, whose byte-range locks would
    // otherwise stop a write midway); false, changing nothing, if another
    // program holds a lock on any part of it. Where locks are only advisory
    // (POSIX) there is nothing to take.
    bool lock_for_writing();
    // Makes the file's data durable.
    bool sync();
    // Closes the file; false if the close reports an error. Closing a file
    // that is not open succeeds.
    bool close();

    // The handle, for what the caller does through it; the file still owns it.
    NativeHandle handle() const { return handle_; }
    Entry entry() const { return entry_; }

private:
    NativeHandle handle_{};
    bool open_ = false;
    Entry entry_ = Entry::unknown;
    // Bytes written since the system was last asked to start writing them
    // to disk (POSIX).
    std::int64_t unhinted_bytes_ = 0;
    // The times read as the file was opened, before its type was told
    // (Windows): telling a file's type may read its first bytes (Wine does),
    // which moves an access time that the system deems stale.
    std::optional<FileTimes> times_at_open_;
};

}  // namespace kivfs

#endif

/* SPDX-License-Identifier: Zlib */
// The operating-system services that the copy needs. Each platform
// implements them in its own file; the build picks one. Everything after
// the first open works through the open file, never by name again, so that
// a name swapped between two calls cannot redirect what the copy changes.
#ifndef KIVCOPY_PLATFORM_H
#define KIVCOPY_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "kivcommon/types.h"
#include "kivfs/file.h"

namespace kivcopy::platform {

using kivcommon::FileIdentity;
using kivcommon::FileTime;
using kivcommon::FileTimes;
using kivcommon::NativeHandle;
using kivcommon::PathChar;

// How many bytes one read or write moves when a copy's data pass through
// the process. On Windows every byte does. Under 64-bit Wine, 512 KiB
// blocks made the system's copy of each written block into the target's
// page cache about eight times as costly per byte as 256 KiB blocks did
// (the read side cost the same): a 5 GiB copy took twice CopyFileW's time.
// 256 KiB took 0.8 times CopyFileW's, 128 KiB and 64 KiB no less than
// 256 KiB. On Linux the kernel moves most bytes, and 256 KiB serves what it
// leaves.
constexpr std::size_t transfer_size = std::size_t{256} * 1024;

// A run of a file that holds data, from `start` up to (not including) `end`.
struct DataRun {
    std::int64_t start = 0;
    std::int64_t end = 0;
};

// What looking for the next run of data found.
enum class DataSearch { found, none, failed };

// An open file (kivfs::File).
using File = kivfs::File;
using kivfs::Reservation;

// Finds the first run of data of `file` at or after `from` and places the
// file at its start, so that reading goes on from there. None when nothing
// but holes lies from `from` to the end. Where the system cannot tell holes
// from data, the whole rest of the file is one run, which ends where
// reading ends.
DataSearch find_data(File& file, std::int64_t from, DataRun& run);
// Lets `file` keep holes where nothing is written to it; false if its
// volume does not keep holes. On POSIX every file may have holes.
bool allow_holes(File& file);
// Gives back the room reserved (File::reserve) up to `reserved_end` that
// lies past `file`'s end, where the copy stopped short of it (it failed, or
// the source shrank meanwhile); the file's bytes, size and the system's
// last error stay as they were. Windows gives such room back itself when
// the file is closed.
void release_room_past_end(File& file, std::int64_t reserved_end);
// Makes [offset, offset + length) of `target` share the blocks of the same
// range of `source`, where both lie on one file system that can share
// blocks between files (Linux: btrfs, XFS): the range then reads as the
// source's bytes there, at no cost in time or room, and stays an
// independent file to every reader and writer. The range is shared whole
// or not at all. False where it cannot be, or on any failure; `target` is
// then unchanged. Neither file's position moves.
bool clone_range(File& target, File& source, std::int64_t offset, std::int64_t length);
// Copies up to `size` bytes from `source`'s position to `target`'s
// position inside the system, without passing them through the process,
// and moves both positions past what it copied. Returns how many bytes it
// copied (0 at the source's end), or -1 where the system cannot copy
// between these files or the copy failed, with both positions where the
// bytes copied before left them. Windows always answers -1.
std::int64_t copy_range(File& target, File& source, std::int64_t size);

// Where a file is: a directory that the caller holds open and a name in
// it, resolved relative to that directory and nowhere else (POSIX), or on
// Windows the file's whole path (the directory is not used there). A path
// alone is a name in the current directory.
struct Place {
    NativeHandle directory;
    const PathChar* name;
};
Place place_of(const PathChar* path);

// Whether a symbolic link at a name is followed when the name is resolved.
using kivcommon::Links;

// The system's error code of the last call that failed on this thread
// (errno, or GetLastError()).
int last_error();

// The source, open for reading, with what its one status read gave.
struct Source {
    File file;
    FileTime access;           // its last-access time (the modification time
                               // where the file system keeps no access time)
    FileTime modification;     // its modification time
    unsigned permissions = 0;  // its rwx permission bits (0 on Windows)
    unsigned mode = 0;         // its permission bits with the set-ID and sticky bits
    std::uint64_t owner = 0;   // its user and group (POSIX)
    std::uint64_t group = 0;
    bool read_only = false;    // its read-only attribute (Windows)
    std::uint32_t attributes = 0;  // its attributes, FILE_ATTRIBUTE_... (Windows)
    FileIdentity identity;
    std::int64_t size = 0;        // its size in bytes
    bool may_have_holes = false;  // whether it can hold holes: on POSIX it
                                  // has fewer blocks than its size needs,
                                  // on Windows it is a sparse file
};

// Opens the source for reading and reads its status. Anything but a regular
// file (a directory, a FIFO, a device) is refused like a file that cannot be
// opened, without waiting on it. Links are followed. False if it cannot be
// opened.
bool open_source(Place where, Source& source);

// How opening a source for a front end went, so that it can say why.
enum class SourceOpening {
    opened,
    absent,       // nothing at the name, or a link to nothing (the error says)
    directory,    // a directory: never opened
    not_regular,  // a FIFO, a socket, a device: never opened
    refused,      // a regular file that does not open for reading (the error says)
    replaced,     // not the file that was found there before (`expected`)
};

// Opens the source the way open_source() does, but tells why it did not.
// With `expected`, the identity a walk just read at the name (without
// following a link), the name is opened directly and kept only if it is
// that very regular file; else it is resolved first without opening
// anything, and only a regular file found there is opened.
SourceOpening open_source_for(Place where, Links links, const FileIdentity* expected,
                              Source& source, int& error);

// The overwrite guard's probe: opens an existing target for update, or, if
// that is refused, for writing alone, without changing it. A target that
// opens either way could be replaced. Links are followed. Only a regular
// file is ever opened: anything else at the name (a device, a FIFO, a
// terminal) is not touched, and the probe finds nothing to open.
File probe_target(Place where);

// How creating a new target went.
using kivcommon::Creation;

// Creates the target as a new, empty file with the given permission bits
// (less the process's umask; ignored on Windows). Never opens an existing
// name, not even a symbolic link, dangling or not.
File create_target(Place where, unsigned permissions, Creation& outcome);

// How opening an existing target for replacing went.
enum class Replacing { opened, absent, refused, is_source };

// Opens an existing target for writing, following a link at its name only
// with Links::follow, and cuts it to nothing. Absent means nothing (or a
// dangling link) is at the name. An existing target that is not a regular
// file is refused without being opened; one that is the source itself
// (another name, a hard or symbolic link) is left untouched, and is_source
// is reported.
File open_target_to_replace(Place where, Links links, const FileIdentity& source,
                            Replacing& outcome);

}  // namespace kivcopy::platform

#endif

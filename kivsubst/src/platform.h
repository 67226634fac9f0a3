/* SPDX-License-Identifier: Zlib */
// The operating-system services that the substitution needs: files by
// descriptor, file status and times, names and directories, and a batch's
// syncs. Each platform implements them in its own file, platform_posix.cpp
// or platform_win32.cpp; the build picks one. Directories are the
// file-system layer's (kivfs::Directory), and a batch's syncs are its
// commit's (kivfs::Commit; durability.cpp adds the batch's files and
// directories to them).
#ifndef KIVSUBST_PLATFORM_H
#define KIVSUBST_PLATFORM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivcommon/types.h"
#include "kivfs/commit.h"
#include "kivfs/directory.h"
#include "kivfs/file.h"
#include "paths.h"

namespace kivsubst::platform {

using kivcommon::Creation;
using kivcommon::FileIdentity;
using kivcommon::FileTime;
using kivcommon::FileTimes;
using kivcommon::Links;
using kivcommon::NativeHandle;

using kivfs::Access;
using kivfs::FileStatus;
using kivfs::Reservation;

// What an ordinary write may strip from a file and the write-back puts back
// where the caller may: on POSIX the set-user-ID and set-group-ID bits
// (cleared when a caller without the privilege writes) and the file
// capabilities (dropped on every write). They belong to the file's owner
// and group as they were when recorded, and are put back only while those
// are unchanged. Nothing on Windows.
struct Privileges {
    unsigned mode = 0;            // the permission bits, set-ID bits included
    std::uint64_t owner = 0;      // the user and group that owned the file
    std::uint64_t group = 0;
    bool has_capability = false;  // whether `capability` holds the attribute
    std::string capability;       // the raw file-capability attribute
};

// A path given as narrow text: its own bytes on POSIX; on Windows text in
// the ANSI code page, none when it is not valid text there.
std::optional<Path> path_from_narrow(const char* path);
// A path as the failure lines write it: its own bytes on POSIX; on Windows
// in the ANSI code page, '?' for a character that has no equivalent there.
std::string narrow_path(const Path& path);
// ASCII text ("KIV12", ".") as a path.
Path ascii_path(const std::string& text);
// The value of an environment variable, if it is set (on Windows read as
// UTF-16, so that it may name what the ANSI code page cannot).
std::optional<Path> environment(const char* name);

// The ANSI code page (Windows; POSIX has none). Text written in it
// strictly, never as a best-fit look-alike: none when a character has no
// bytes of its own there, or where there is no ANSI code page. Its lead
// bytes, those that begin a two-byte character (none in a single-byte code
// page); false where there is no ANSI code page.
constexpr bool has_ansi_code_page =
#if defined(_WIN32)
    true;
#else
    false;
#endif
std::optional<std::string> ansi_from_utf16(const std::u16string& text);
bool ansi_lead_bytes(std::array<bool, 256>& lead);

// Whether something exists at `path` (following links).
bool exists(const Path& path);

// The error number of the last call that failed on the calling thread
// (errno on POSIX, GetLastError on Windows), as kivcopy's core has it: take
// it right after the call that failed, before anything else can change it.
int last_error();
// The system's words for an error number from last_error(), in the ANSI
// code page on Windows.
std::string describe(int error);

// Whether a file being overwritten with a shorter result is cut to its new
// length before the first byte is written: where cutting can be refused
// (Windows refuses it while another program has the file mapped), so that
// the refusal comes while the old content is whole. Elsewhere it is cut at
// the end.
#if defined(_WIN32)
constexpr bool shortens_before_writing = true;
#else
constexpr bool shortens_before_writing = false;
#endif

// Whether a Directory holds the directory open, so that names in it are
// opened through its handle (POSIX). Windows holds a directory by its path
// only: there the file is opened by the very name the caller gave, since a
// name joined to a directory again need not be that name ("C:app.ini"
// names a file in the current folder of drive C, "C:/app.ini" one in its
// root).
#if defined(_WIN32)
constexpr bool directories_are_held_open = false;
#else
constexpr bool directories_are_held_open = true;
#endif

// How a copy inside the operating system went.
enum class KernelCopy { copied, failed, unsupported };

// An open file (kivfs::File). Reads and writes move whole requests: they
// retry on interruption and continue after short transfers, and report any
// failure.
using File = kivfs::File;

// What a write may strip from `file`, whose status the caller just read.
Privileges privileges_of(const File& file, const FileStatus& status);
// Puts back what a write stripped, if the file still has the owner and
// group it had when `privileges` were recorded; quietly leaves what the
// caller may not set.
void restore(File& file, const Privileges& privileges);
// Writes every byte of `bytes` to `file`, as File::write_all does, and
// lets the disk start on them (File::hint_writeback): only a write that
// succeeded counts towards the next hint.
inline bool write_hinted(File& file, const void* bytes, std::size_t size) {
    if (!file.write_all(bytes, size)) {
        return false;
    }
    file.hint_writeback(static_cast<std::int64_t>(size));
    return true;
}
// Copies `length` bytes of `source` from its position to `target`'s
// position (fewer where the source ends sooner) without passing the bytes
// through the process, where the system can; `copied` counts the bytes.
// Unsupported means that nothing was copied and the caller must copy by
// reading and writing.
KernelCopy copy_inside_system(File& source, File& target, std::int64_t length,
                              std::int64_t& copied);

// The directory of the temporary file, opened once (kivfs::Directory's
// open(path) and held()): the temporary file is checked, created, made
// durable and deleted through it, and so is the file when the directory is
// the file's own. On Windows it is held by its name.
using Directory = kivfs::Directory;
using kivfs::NameState;

// Adds `file` to a commit's sync set, with what is known of its entry: a
// file whose entry may be new and is in no directory of the set has its
// directory found by its own name (kivfs::sync_group).
void add_to(kivfs::SyncSet& set, const File& file);
// Adds `directory` to a commit's sync set if its entries changed since its
// last sync (has_unsynced_entries()); it counts as synced from then on,
// whatever the sync's outcome.
void add_to(kivfs::SyncSet& set, Directory& directory);

}  // namespace kivsubst::platform

#endif

// SPDX-License-Identifier: Zlib
// POSIX services for the substitution.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

#include "kivcommon/posix_io.h"
#include "paths.h"

namespace kivsubst::platform {
namespace {

using kivcommon::open_retrying;

// The attribute that holds a file's capabilities.
constexpr const char* capability_attribute = "security.capability";

// The bits that an ordinary write may clear.
constexpr mode_t set_id_bits = S_ISUID | S_ISGID;

FileTime from_timespec(const struct timespec& time) {
    return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

struct timespec to_timespec(const FileTime& time) {
    struct timespec converted {};
    converted.tv_sec = static_cast<time_t>(time.seconds);
    converted.tv_nsec = time.nanoseconds;
    return converted;
}

// How much written data may wait before the disk is asked to start on it.
constexpr std::int64_t writeback_chunk = std::int64_t{8} << 20;

File adopt(int fd, File::Entry entry) {
    return fd < 0 ? File() : File(fd, entry);
}

int open_flags(Access access) {
    return access == Access::read ? O_RDONLY : O_WRONLY;
}

// Opens an existing regular file, relative to `directory`. The name is
// resolved first without opening anything, and only a regular file found
// there is opened for data: a directory, a FIFO, a device or a terminal at
// the name is refused without ever being opened (nor waited on).
File open_regular_at(int directory, const char* path, Access access,
                     Links links = Links::follow) {
    const int nofollow = links == Links::refuse ? O_NOFOLLOW : 0;
    return adopt(
        kivcommon::ResolvedName::resolve(directory, path, nofollow).reopen(open_flags(access)),
        File::Entry::existing);
}

File create_new_at(int directory, const char* path, Creation& outcome, File::Entry entry) {
    File file = adopt(open_retrying(directory, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600),
                      entry);
    if (file.is_open()) {
        outcome = Creation::created;
    } else {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
    }
    return file;
}

// Asks the disk to start writing every few MiB instead of leaving all the
// data to the fsync at the end, so that the disk works while the data is
// still being made. Only a hint: the fsync still decides what is durable.
void hint_writeback(int fd, std::int64_t& unhinted, std::int64_t written) {
    unhinted += written;
    if (unhinted >= writeback_chunk) {
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        unhinted = 0;
    }
}

// The directories whose entries changed through a Directory (a file
// created or removed) since they were last synced, so that sync_all can
// make those changes durable without syncing whole file systems. A
// Directory is listed while it is open and has changes that are not
// durable yet, and leaves the list when it is synced or goes.
std::vector<const Directory*>& changed_directories() {
    static std::vector<const Directory*> changed;
    return changed;
}

void note_change(const Directory* directory) {
    std::vector<const Directory*>& changed = changed_directories();
    if (std::find(changed.begin(), changed.end(), directory) == changed.end()) {
        changed.push_back(directory);
    }
}

void forget_changes(const Directory* directory) {
    std::vector<const Directory*>& changed = changed_directories();
    changed.erase(std::remove(changed.begin(), changed.end(), directory), changed.end());
}

void move_changes(const Directory* from, const Directory* to) {
    for (const Directory*& listed : changed_directories()) {
        if (listed == from) {
            listed = to;
        }
    }
}

// A directory or file system to sync once, whichever file or Directory
// asked for it first.
struct Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

// Opens the directory that holds the entry of the open file `fd`, found by
// the name the system keeps for it (/proc/self/fd), and only if an entry
// of that directory names this very file: -1 where there is no such name
// (no /proc, a deleted file), the directory cannot be read, or the name has
// come to stand for another file meanwhile.
int open_directory_of(int fd, const struct stat& file) {
    char own[40];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
    std::string name(4096, '\0');
    const ssize_t length = ::readlink(own, name.data(), name.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= name.size() || name[0] != '/') {
        return -1;
    }
    name.resize(static_cast<std::size_t>(length));
    const std::size_t slash = name.rfind('/');
    const std::string directory = slash == 0 ? "/" : name.substr(0, slash);
    const int held = open_retrying(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY);
    struct stat entry {};
    if (held >= 0 && (::fstatat(held, name.c_str() + slash + 1, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
                      entry.st_dev != file.st_dev || entry.st_ino != file.st_ino)) {
        ::close(held);
        return -1;
    }
    return held;
}

// Syncs each descriptor (fsync of a file, or of a directory, where EINVAL
// means a file system that cannot sync directories and has
// nothing more to do), from a few threads at once: the disk then takes
// the syncs' writes and cache flushes together rather than one after the
// other, which for a few hundred small files is several times faster. If
// no thread can be started, the calling thread syncs them all.
bool sync_together(const std::vector<int>& descriptors, bool directories) {
    constexpr std::size_t most_threads = 16;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> all{true};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < descriptors.size();) {
            if (::fsync(descriptors[i]) != 0 && !(directories && errno == EINVAL)) {
                all = false;
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min(descriptors.size(), most_threads);
    try {
        while (helpers.size() + 1 < wanted) {
            helpers.emplace_back(work);
        }
    } catch (const std::system_error&) {
        // fewer helpers: the calling thread takes what they leave
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return all;
}

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

std::string last_error() {
    return std::strerror(errno);
}

// Group commit that waits for our own files only. A syncfs would write out
// every dirty page of the file system, other programs' too, and take as
// long as they have written; this way costs what the batch wrote. The disk
// is first asked to start on every file at once (sync_file_range, which
// makes nothing durable by itself), then the files are synced together,
// and then, once each, the directories whose entries changed: those of the
// Directories that created or removed names, and those of files whose
// entry may be new and was made elsewhere (backups). A file whose directory
// cannot be found, and a directory that cannot be synced itself (one that
// may be written but not read), have their file system synced instead, as
// Directory::sync_entry does.
bool sync_all(const std::vector<File*>& files) {
    for (File* file : files) {
        ::sync_file_range(file->handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    bool all = true;
    std::vector<int> file_descriptors;
    std::vector<int> found;              // the directories opened here
    std::vector<dev_t> whole_file_systems;
    const auto sync_file_system = [&](dev_t device, int fd) {
        if (std::find(whole_file_systems.begin(), whole_file_systems.end(), device) !=
            whole_file_systems.end()) {
            return true;
        }
        whole_file_systems.push_back(device);
        return ::syncfs(fd) == 0;
    };
    // A file of the batch on the file system `device`, to sync it through:
    // looked for only where a directory cannot be synced itself.
    const auto file_on = [&](dev_t device) {
        for (const int fd : file_descriptors) {
            struct stat status {};
            if (::fstat(fd, &status) == 0 && status.st_dev == device) {
                return fd;
            }
        }
        return -1;
    };
    for (File* file : files) {
        file_descriptors.push_back(file->handle());
        if (file->entry() == File::Entry::unknown) {
            struct stat status {};
            if (::fstat(file->handle(), &status) != 0) {
                all = false;
                continue;
            }
            const int held = open_directory_of(file->handle(), status);
            if (held >= 0) {
                found.push_back(held);
            } else {
                all = sync_file_system(status.st_dev, file->handle()) && all;
            }
        }
    }
    all = sync_together(file_descriptors, false) && all;

    std::vector<const Directory*> changed;
    changed.swap(changed_directories());
    std::vector<int> directories;
    std::vector<Identity> listed;
    const auto list_directory = [&](int fd, const struct stat& status) {
        const Identity identity{status.st_dev, status.st_ino};
        if (std::find(listed.begin(), listed.end(), identity) == listed.end()) {
            listed.push_back(identity);
            directories.push_back(fd);
        }
    };
    for (const int held : found) {
        struct stat status {};
        if (::fstat(held, &status) != 0) {
            all = false;
        } else {
            list_directory(held, status);
        }
    }
    // Many Directories may share one handle (a front end's, for the files
    // of one directory): each handle is looked at once.
    std::vector<int> handles;
    for (const Directory* directory : changed) {
        if (std::find(handles.begin(), handles.end(), directory->handle()) != handles.end()) {
            continue;
        }
        handles.push_back(directory->handle());
        struct stat status {};
        if (::fstat(directory->handle(), &status) != 0) {
            all = false;
        } else if (directory->is_readable()) {
            list_directory(directory->handle(), status);
        } else {
            // A path handle cannot sync its file system; a file of the batch
            // on the same one can.
            const int on_it = file_on(status.st_dev);
            all = on_it >= 0 && sync_file_system(status.st_dev, on_it) && all;
        }
    }
    all = sync_together(directories, true) && all;
    for (const int held : found) {
        ::close(held);
    }
    return all;
}

File File::open_for_reading(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::read);
}

File File::create_new(const Path& path, Creation& outcome) {
    return create_new_at(AT_FDCWD, path.c_str(), outcome, File::Entry::unknown);
}

File File::open_for_overwriting(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::write);
}

std::optional<FileStatus> File::status() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return std::nullopt;
    }
    return FileStatus{{static_cast<std::uint64_t>(status.st_dev),
                       static_cast<std::uint64_t>(status.st_ino)},
                      static_cast<std::int64_t>(status.st_size),
                      {from_timespec(status.st_atim), from_timespec(status.st_mtim)},
                      static_cast<unsigned>(status.st_mode & 07777),
                      status.st_uid,
                      status.st_gid};
}

bool File::set_times(const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::futimens(handle_, both) == 0;
}

// The mode and owners come from the status the caller read of this file.
Privileges File::privileges(const FileStatus& status) const {
    Privileges privileges;
    privileges.mode = status.mode;
    privileges.owner = status.owner;
    privileges.group = status.group;
    ssize_t size = ::fgetxattr(handle_, capability_attribute, nullptr, 0);
    if (size > 0) {
        privileges.capability.resize(static_cast<std::size_t>(size));
        size = ::fgetxattr(handle_, capability_attribute, privileges.capability.data(),
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
void File::restore(const Privileges& privileges) {
    if ((privileges.mode & set_id_bits) == 0 && !privileges.has_capability) {
        return;  // nothing that a write strips
    }
    struct stat status {};
    if (::fstat(handle_, &status) != 0 || status.st_uid != privileges.owner ||
        status.st_gid != privileges.group) {
        return;
    }
    if ((privileges.mode & set_id_bits) != 0 && (status.st_mode & 07777) != privileges.mode) {
        ::fchmod(handle_, static_cast<mode_t>(privileges.mode));
    }
    if (privileges.has_capability &&
        ::fgetxattr(handle_, capability_attribute, nullptr, 0) < 0) {
        ::fsetxattr(handle_, capability_attribute, privileges.capability.data(),
                    privileges.capability.size(), 0);
    }
}

std::int64_t File::length() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    return kivcommon::read_some(handle_, buffer, size);
}

std::ptrdiff_t File::read_at(std::int64_t offset, void* buffer, std::size_t size) {
    ssize_t got;
    do {
        got = ::pread(handle_, buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

bool File::write_all(const void* bytes, std::size_t size) {
    if (!kivcommon::write_all(handle_, bytes, size)) {
        return false;
    }
    hint_writeback(handle_, unhinted_bytes_, static_cast<std::int64_t>(size));
    return true;
}

bool File::rewind() {
    return ::lseek(handle_, 0, SEEK_SET) == 0;
}

Reservation File::reserve(std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    int failed;
    do {
        failed = ::fallocate(handle_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    if (failed == 0) {
        return Reservation::reserved;
    }
    return errno == ENOSPC || errno == EDQUOT ? Reservation::no_space : Reservation::unsupported;
}

bool File::lock_for_writing() {
    return true;
}

bool File::truncate(std::int64_t length) {
    int failed;
    do {
        failed = ::ftruncate(handle_, static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    return failed == 0;
}

// copy_file_range moves the bytes inside the kernel, as the system's own
// copy tools do. It refuses file pairs it cannot handle (other file systems,
// special files) before copying anything.
KernelCopy File::copy_from(File& source, std::int64_t length, std::int64_t& copied) {
    copied = 0;
    while (copied < length) {
        const std::int64_t wanted = std::min(writeback_chunk, length - copied);
        ssize_t moved = ::copy_file_range(source.handle_, nullptr, handle_, nullptr,
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
        hint_writeback(handle_, unhinted_bytes_, moved);
    }
    return KernelCopy::copied;
}

// Files that cannot be synced, such as devices, say EINVAL.
bool File::sync() {
    return ::fsync(handle_) == 0 || errno == EINVAL;
}

// close() is never retried: after EINTR the descriptor is already gone.
bool File::close() {
    return !std::exchange(open_, false) || ::close(handle_) == 0;
}

Directory::~Directory() {
    forget_changes(this);
    if (open_ && owned_) {
        ::close(handle_);
    }
}

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(other.handle_),
      readable_(other.readable_),
      open_(std::exchange(other.open_, false)),
      owned_(other.owned_),
      error_(other.error_) {
    move_changes(&other, this);
}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        forget_changes(this);
        if (open_ && owned_) {
            ::close(handle_);
        }
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        readable_ = other.readable_;
        open_ = std::exchange(other.open_, false);
        owned_ = other.owned_;
        error_ = other.error_;
        move_changes(&other, this);
    }
    return *this;
}

// O_NOFOLLOW refuses a link at the directory's own name; a path that ends
// in a separator, as the file's own directory does, resolves its last
// component like the file's path would. A directory that may be written
// and searched but not read (mode 0733) is held as a bare path handle,
// which serves everything but syncing it.
Directory Directory::open(const Path& path) {
    Directory directory;
    directory.path_ = path;
    const char* name = path.empty() ? "." : path.c_str();
    int fd = open_retrying(AT_FDCWD, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    directory.readable_ = fd >= 0;
    if (fd < 0 && errno == EACCES) {
        fd = open_retrying(AT_FDCWD, name, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    }
    directory.handle_ = fd;
    directory.open_ = fd >= 0;
    directory.error_ = fd >= 0 ? 0 : errno;
    return directory;
}

// The caller's descriptor, which may be a path descriptor (a directory
// that may be searched but not read): such a one serves everything but
// syncing the directory.
Directory Directory::held(NativeHandle directory, const Path& path, bool readable) {
    Directory held;
    held.path_ = path;
    held.readable_ = directory >= 0 && readable;
    held.handle_ = directory;
    held.open_ = directory >= 0;
    held.owned_ = false;
    return held;
}

NameState Directory::check(const Path& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    struct stat status {};
    if (::fstatat(handle_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno == EACCES) {
        return NameState::taken;
    }
    return errno == ENOENT ? NameState::free : NameState::unchecked;
}

File Directory::create_new(const Path& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        errno = error_;  // the reason the directory could not be opened
        return File();
    }
    File file = create_new_at(handle_, name.c_str(), outcome, File::Entry::made_by_directory);
    if (file.is_open()) {
        note_change(this);
    }
    return file;
}

File Directory::open_for_reading(const Path& name, Links links) {
    return open_ ? open_regular_at(handle_, name.c_str(), Access::read, links) : File();
}

File Directory::open_for_overwriting(const Path& name, Links links) {
    return open_ ? open_regular_at(handle_, name.c_str(), Access::write, links) : File();
}

// File systems that cannot sync a directory say EINVAL; there is nothing
// more to do there. Where the directory cannot be synced through its own
// descriptor, syncing the whole file system makes the entry durable too:
// slower, but a call never fails only because the quick way was closed.
bool Directory::sync_entry(File& file) {
    if ((readable_ && (::fsync(handle_) == 0 || errno == EINVAL)) || ::syncfs(file.handle()) == 0) {
        forget_changes(this);
        return true;
    }
    return false;
}

bool Directory::remove(const Path& name) {
    if (!open_ || ::unlinkat(handle_, name.c_str(), 0) != 0) {
        return false;
    }
    note_change(this);
    return true;
}

}  // namespace kivsubst::platform

// SPDX-License-Identifier: Zlib
// Making a group of files durable on POSIX: the files synced together, then
// once each the directories whose entries changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "kivcommon/posix_io.h"
#include "kivfs/group_sync.h"

namespace kivfs {

using kivcommon::FileIdentity;

namespace {

// A group of fewer files syncs them one by one whatever else is dirty:
// their syncs cost less than the chance of waiting for others' writes.
constexpr std::size_t fewest_files_for_whole = 64;

// How much of other programs' dirty data, for each file of the group, a
// sync of the whole file system may write along with the group's own: about
// what one file's own sync would write besides its data (its inode, the
// journal's blocks for it), so that syncing the file system whole costs no
// more than syncing the files one by one.
constexpr std::uint64_t others_bytes_per_file = 16 * 1024;

// What one group sync has to do and has done: the files' descriptors, those
// still to be synced one by one, the directories to sync (each once, however
// many handles name it), those it opened itself, and the file systems it
// synced whole.
struct Group {
    Group() = default;
    ~Group() {
        for (const int held : opened) {
            ::close(held);
        }
    }
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    std::vector<int> files;
    std::vector<int> each;
    std::vector<int> directories;
    std::vector<FileIdentity> listed;
    std::vector<int> opened;
    std::vector<dev_t> synced_whole;
    bool all = true;
};

// Asks the disk to start writing every file's data at once, so that the
// syncs that follow find it on its way rather than each starting its own
// write. This makes nothing durable by itself, and a file system that
// refuses it only loses the head start. A file system synced whole writes
// everything in one go and needs no such start.
void start_writing(const std::vector<int>& descriptors) {
    for (const int fd : descriptors) {
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

// Syncs each descriptor (fsync of a file, or of a directory, where EINVAL
// means a file system that cannot sync directories and has nothing more to
// do), from a few threads at once: the disk then takes the syncs' writes
// and cache flushes together rather than one after the other, which for a
// few hundred small files is several times faster. If no thread can be
// started, the calling thread syncs them all.
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

// Syncs the whole file system `device` through `fd`, open on it, unless
// the group has synced it already: the fallback for an entry whose
// directory cannot be synced itself.
bool sync_file_system(Group& group, dev_t device, int fd) {
    if (std::find(group.synced_whole.begin(), group.synced_whole.end(), device) !=
        group.synced_whole.end()) {
        return true;
    }
    group.synced_whole.push_back(device);
    return ::syncfs(fd) == 0;
}

// Adds the directory held as `fd` to those the group syncs, unless it is
// listed already under another handle or its file system was synced whole.
void list_directory(Group& group, int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        group.all = false;
        return;
    }
    const FileIdentity identity{status.st_dev, status.st_ino};
    if (std::find(group.synced_whole.begin(), group.synced_whole.end(), status.st_dev) ==
            group.synced_whole.end() &&
        std::find(group.listed.begin(), group.listed.end(), identity) == group.listed.end()) {
        group.listed.push_back(identity);
        group.directories.push_back(fd);
    }
}

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
    const int held = kivcommon::open_retrying(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY);
    struct stat entry {};
    if (held >= 0 && (::fstatat(held, name.c_str() + slash + 1, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
                      entry.st_dev != file.st_dev || entry.st_ino != file.st_ino)) {
        ::close(held);
        return -1;
    }
    return held;
}

// The directories of the files whose entries may be new and that no
// directory of the group stands for (backups made elsewhere), found by the
// files' names; a file whose directory cannot be found has its file system
// synced instead.
void find_directories(Group& group, const std::vector<GroupFile>& files) {
    for (const GroupFile& file : files) {
        if (!file.entry_unknown) {
            continue;
        }
        struct stat status {};
        if (::fstat(file.handle, &status) != 0) {
            group.all = false;
            continue;
        }
        const int held = open_directory_of(file.handle, status);
        if (held >= 0) {
            group.opened.push_back(held);
            list_directory(group, held);
        } else if (!sync_file_system(group, status.st_dev, file.handle)) {
            group.all = false;
        }
    }
}

// A file of the group on the file system `device`, to sync it through.
int file_on(const Group& group, dev_t device) {
    for (const int fd : group.files) {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && status.st_dev == device) {
            return fd;
        }
    }
    return -1;
}

// The caller's directories, each handle looked at once (many may share one,
// as a front end's do for the files of one directory). One opened for
// lookups alone cannot sync its file system; a file of the group on the
// same one can, and without one the directory's entries cannot be made
// durable.
void add_directories(Group& group, const std::vector<GroupDirectory>& directories) {
    std::vector<int> handles;
    for (const GroupDirectory& directory : directories) {
        if (std::find(handles.begin(), handles.end(), directory.handle) != handles.end()) {
            continue;
        }
        handles.push_back(directory.handle);
        if (directory.readable) {
            list_directory(group, directory.handle);
            continue;
        }
        struct stat status {};
        const int on_it = ::fstat(directory.handle, &status) == 0 ? file_on(group, status.st_dev) : -1;
        if (on_it < 0 || !sync_file_system(group, status.st_dev, on_it)) {
            group.all = false;
        }
    }
}

// The bytes that are dirty on the whole machine, every file system's
// (/proc/meminfo: Dirty, and Writeback, what the disk is writing already);
// none where that cannot be read.
std::optional<std::uint64_t> machine_dirty_bytes() {
    const int fd = kivcommon::open_retrying(AT_FDCWD, "/proc/meminfo", O_RDONLY);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[8192];
    const ssize_t length = kivcommon::read_some(fd, text, sizeof text - 1);
    ::close(fd);
    if (length <= 0) {
        return std::nullopt;
    }
    text[length] = '\0';
    std::uint64_t kib = 0;
    for (const char* field : {"\nDirty:", "\nWriteback:"}) {
        const char* found = std::strstr(text, field);
        if (found == nullptr) {
            return std::nullopt;
        }
        kib += std::strtoull(found + std::strlen(field), nullptr, 10);
    }
    return kib * 1024;
}

// Syncs whole, once each, the file systems that hold the group's files,
// where nothing much is dirty but what the group wrote: then one syncfs
// costs what the group's own syncs would, and the disk flushes its cache
// once rather than once a file. The machine's dirty data, all file
// systems' together, is the most any one of them can hold. syncfs reports
// a write of any file there that failed since the file was opened (Linux
// 5.8 and later), so a failure of one of the group's is told. The files on
// a file system synced whole need no sync of their own; every other file
// stays in `each`.
void sync_whole_where_only_ours(Group& group) {
    group.each = group.files;
    if (group.files.size() < fewest_files_for_whole) {
        return;
    }
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::uint64_t own = 0;
    std::vector<dev_t> devices;
    for (const int fd : group.files) {
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            return;
        }
        own += (static_cast<std::uint64_t>(status.st_size) + page - 1) / page * page;
        devices.push_back(status.st_dev);
    }
    const std::optional<std::uint64_t> dirty = machine_dirty_bytes();
    if (!dirty || *dirty > own + group.files.size() * others_bytes_per_file) {
        return;
    }
    group.each.clear();
    for (std::size_t i = 0; i < group.files.size(); ++i) {
        if (!sync_file_system(group, devices[i], group.files[i])) {
            group.all = false;
        }
    }
}

}  // namespace

// Group commit that waits for the group's own files only. A syncfs writes
// out every dirty page of the file system, other programs' too, and takes
// as long as they have written: it stands for the files' syncs only where
// their data is about all that is dirty. Otherwise the files are synced
// together, which costs what the group wrote.
bool sync_group(const std::vector<GroupFile>& files,
                const std::vector<GroupDirectory>& directories) {
    Group group;
    for (const GroupFile& file : files) {
        group.files.push_back(file.handle);
    }
    sync_whole_where_only_ours(group);
    start_writing(group.each);
    find_directories(group, files);
    group.all = sync_together(group.each, false) && group.all;
    add_directories(group, directories);
    group.all = sync_together(group.directories, true) && group.all;
    return group.all;
}

}  // namespace kivfs

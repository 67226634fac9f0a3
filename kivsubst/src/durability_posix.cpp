// SPDX-License-Identifier: Zlib
// Making a batch of files durable on POSIX: the files synced together, then
// once each the directories whose entries changed, as the batch names them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "kivcommon/posix_io.h"
#include "platform.h"
#include "platform_posix.h"

namespace kivsubst::platform {

namespace {

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

// Group commit that waits for our own files only. A syncfs would write out
// every dirty page of the file system, other programs' too, and take as
// long as they have written; this way costs what the batch wrote. The disk
// is first asked to start on every file at once (sync_file_range, which
// makes nothing durable by itself), then the files are synced together,
// and then, once each, the directories whose entries changed: those of the
// batch's Directories that created or removed names, and those of files whose
// entry may be new and was made elsewhere (backups). A file whose directory
// cannot be found, and a directory that cannot be synced itself (one that
// may be written but not read), have their file system synced instead, as
// Directory::sync_entry does.
bool make_durable(const std::vector<File*>& files, const std::vector<Directory*>& directories) {
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

    std::vector<int> to_sync;
    std::vector<FileIdentity> listed;  // a directory or file system synced once
    const auto list_directory = [&](int fd, const struct stat& status) {
        const FileIdentity identity{status.st_dev, status.st_ino};
        if (std::find(listed.begin(), listed.end(), identity) == listed.end()) {
            listed.push_back(identity);
            to_sync.push_back(fd);
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
    for (Directory* directory : directories) {
        if (!directory->has_unsynced_entries()) {
            continue;
        }
        directory->entries_synced();
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
    all = sync_together(to_sync, true) && all;
    for (const int held : found) {
        ::close(held);
    }
    return all;
}

}  // namespace kivsubst::platform

// SPDX-License-Identifier: Zlib
// The journal folder on POSIX: held by a descriptor opened without
// following a link at its name, every journal named relative to it, each
// locked with flock() by the transaction that writes it.
#include "journal_folder.h"

#include "kivfs/ownership.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kivtransaction {
namespace {

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// The folder itself locked (flock) while a journal is created and locked,
// or opened and locked by a recovery: a new journal's name and its lock
// then come into view together, so that a recovery never takes one that a
// begin has just created for a journal left behind, nor reads its header
// half-written. Held for those two calls only.
class FolderLock {
public:
    explicit FolderLock(int folder) : folder_(folder) {
        while (::flock(folder_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FolderLock() { ::flock(folder_, LOCK_UN); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int folder_;
};

// A directory's sync where its file system offers one (EINVAL: it has
// nothing to sync).
bool sync_directory(int fd) {
    return ::fsync(fd) == 0 || errno == EINVAL;
}

}  // namespace

JournalFolder::~JournalFolder() {
    ::close(handle_);
}

std::unique_ptr<JournalFolder> JournalFolder::open(const Path& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<JournalFolder>(new JournalFolder(fd, path));
}

std::unique_ptr<JournalFile> JournalFolder::create(std::uint64_t transaction,
                                                   const std::string& header, int& error) {
    const std::string name = journal_name(transaction);
    std::unique_ptr<JournalFile> journal;
    {
        const FolderLock creating(handle_);
        const int fd = ::openat(handle_, name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, 0600);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        journal.reset(new JournalFile(*this, fd, name));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error = errno;
            journal->remove(error);
            return nullptr;
        }
    }
    if (!journal->append(header, error) || !sync(error)) {
        if (error == 0) {
            error = errno;
        }
        journal->remove(error);
        return nullptr;
    }
    return journal;
}

bool JournalFolder::journal_names(std::vector<std::string>& names, int& error) const {
    const int fd = ::openat(handle_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        error = errno;
        ::close(fd);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (is_journal_name(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    error = errno;
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return error == 0;
}

std::unique_ptr<JournalFile> JournalFolder::open_journal(const std::string& name, bool& live,
                                                         int& error) {
    live = false;
    const FolderLock opening(handle_);
    const int fd = ::openat(handle_, name.c_str(),
                            O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_APPEND);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        live = error == EWOULDBLOCK;
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<JournalFile>(new JournalFile(*this, fd, name));
}

bool JournalFolder::sync(int& error) {
    if (sync_directory(handle_)) {
        return true;
    }
    error = errno;
    return false;
}

JournalFile::~JournalFile() {
    ::close(handle_);
}

bool JournalFile::append(const std::string& record, int& error) {
    return append(std::vector<std::string>{record}, error);
}

bool JournalFile::append(const std::vector<std::string>& records, int& error) {
    std::string bytes;
    for (const std::string& record : records) {
        bytes += record;
    }
    if (!write_all(handle_, bytes) || ::fdatasync(handle_) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool JournalFile::read(std::string& bytes, int& error) {
    bytes.clear();
    char block[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(handle_, block, sizeof block, offset);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.append(block, static_cast<std::size_t>(got));
        offset += got;
    }
}

bool JournalFile::trusted(std::string& reason) const {
    return kivfs::trusted_as_callers_own(handle_, reason);
}

// The name is removed only while it still names the file held: in a
// folder that others may write, someone may have put another file there.
bool JournalFile::remove(int& error) {
    struct stat held{};
    struct stat named{};
    if (::fstat(handle_, &held) != 0 ||
        ::fstatat(folder_.handle(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return false;
    }
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        error = EEXIST;
        return false;
    }
    if (::unlinkat(folder_.handle(), name_.c_str(), 0) != 0) {
        error = errno;
        return false;
    }
    return folder_.sync(error);
}

}  // namespace kivtransaction

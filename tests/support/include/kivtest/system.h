/* SPDX-License-Identifier: Zlib */
// The operating-system services the tests need, the same on POSIX and on
// Windows. Each platform implements them in its own file.
#ifndef KIVTEST_SYSTEM_H
#define KIVTEST_SYSTEM_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "kivcommon/types.h"

namespace kivcommon {
// How test failures show a file time.
std::ostream& operator<<(std::ostream& out, const FileTime& time);
}  // namespace kivcommon

namespace kivtest {

// A file time. Tests use whole multiples of 100 ns, the finest step that
// both Linux and Windows keep.
using Time = kivcommon::FileTime;

bool exists(const std::string& path);
std::int64_t file_size(const std::string& path);
Time access_time(const std::string& path);
Time modification_time(const std::string& path);
void set_times(const std::string& path, Time access, Time modification);

void make_directory(const std::string& path);
bool hard_link(const std::string& existing, const std::string& link);
bool symbolic_link(const std::string& target, const std::string& link);
// Removes a directory tree, whatever flags and mounts are in the way.
void remove_tree(const std::string& path);
// Makes a new, empty directory for one test and returns its path.
std::string make_work_directory();

void set_environment(const char* name, const std::string& value);
void unset_environment(const char* name);

// Sets a variable (or, given no value, unsets it) for the object's lifetime
// and then puts back what was there, so that no test leaks its setting.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

std::string current_directory();
bool change_directory(const std::string& path);

// The root directory's name: "/", or on Windows a backslash alone (the root
// of the current drive).
inline std::string root_directory() {
#if defined(_WIN32)
    return "\\";
#else
    return "/";
#endif
}

// What a test sets up that the system may refuse, such as a mount or a
// file held open: ok() once it is in place, else error() says why, so that
// the test can skip with that reason. It undoes itself when it goes, so it
// is never copied.
class Arrangement {
public:
    Arrangement(const Arrangement&) = delete;
    Arrangement& operator=(const Arrangement&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

protected:
    Arrangement() = default;
    ~Arrangement() = default;

    std::string error_;  // empty while all is well
};

// Keeps a file or directory from being opened for writing (or, for a
// directory, from getting new entries) while it lives, even for root: an
// immutable file on Linux, a file held open without write sharing on
// Windows.
class UnwritableFile : public Arrangement {
public:
    explicit UnwritableFile(std::string path);
    ~UnwritableFile();

private:
    std::string path_;
    void* handle_ = nullptr;  // Windows: the handle that holds the file
};

// Holds a file open while it lives as another program may: for reading,
// with the right to delete or rename it, and sharing it in every way
// (Windows). Such a holder must not keep anyone else from the file; on
// POSIX no holder can.
class SharedHolder : public Arrangement {
public:
    explicit SharedHolder(const std::string& path);
    ~SharedHolder();

private:
    void* handle_ = nullptr;  // Windows: the holding handle
    int fd_ = -1;             // POSIX: the holding descriptor
};

// A tmpfs of `bytes` bytes mounted at `directory` (created if needed) for
// its lifetime: a small file system to fill, or files kept in memory. Needs
// root on Linux; Windows has none, and error() says so.
class TmpfsMount : public Arrangement {
public:
    TmpfsMount(std::string directory, unsigned long long bytes);
    ~TmpfsMount();

    const std::string& directory() const { return directory_; }

    // Remounts the file system read-only; false if that is refused.
    bool make_read_only();

private:
    std::string directory_;
};

// A shared library loaded at run time, as an installer loads ours.
class LoadedLibrary : public Arrangement {
public:
    explicit LoadedLibrary(const std::string& path);
    ~LoadedLibrary();

    // An exported function, found by its plain name, as a pointer of type
    // Function: nullptr when the library did not load or does not export
    // that name, and error() says which.
    template <typename Function>
    Function function(const char* name) {
        void* found = ok() ? address(name) : nullptr;
        if (ok() && found == nullptr) {
            error_ = std::string(name) + " is not exported under its plain name";
        }
        return reinterpret_cast<Function>(found);
    }

private:
    void* address(const char* name);

    void* handle_ = nullptr;
};

}  // namespace kivtest

#endif

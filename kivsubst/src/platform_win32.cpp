// Win32 services for the substitution.
#include "platform.h"

#include <windows.h>

#include <direct.h>

#include <cstdlib>
#include <utility>

namespace kivsubst::platform {
namespace {

// Seconds between 1601-01-01, where Windows counts from, and 1970-01-01.
constexpr std::int64_t epoch_difference = 11644473600LL;
constexpr std::int64_t ticks_per_second = 10000000LL;  // of 100 ns each

FileTime from_filetime(const FILETIME& time) {
    std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return {ticks / ticks_per_second - epoch_difference,
            static_cast<std::int32_t>((ticks % ticks_per_second) * 100)};
}

FILETIME to_filetime(const FileTime& time) {
    std::uint64_t ticks = static_cast<std::uint64_t>(
        (time.seconds + epoch_difference) * ticks_per_second + time.nanoseconds / 100);
    FILETIME converted;
    converted.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffffu);
    converted.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return converted;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Large transfers are split so that each fits what one call takes.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::intptr_t from_handle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

bool exists(const std::string& path) {
    return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

// The drive ("C:") and the directory up to its last separator; both '\' and
// '/' separate.
std::string directory_part(const std::string& path) {
    std::size_t separator_at = path.find_last_of("\\/");
    if (separator_at != std::string::npos) {
        return path.substr(0, separator_at + 1);
    }
    if (path.size() >= 2 && path[1] == ':') {
        return path.substr(0, 2);
    }
    return std::string();
}

std::string name_part(const std::string& path) {
    std::size_t separator_at = path.find_last_of("\\/");
    if (separator_at != std::string::npos) {
        return path.substr(separator_at + 1);
    }
    return path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
}

// The root of the current drive.
std::string root_directory() {
    return "\\";
}

std::string current_directory() {
    char buffer[MAX_PATH];
    return ::_getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

bool ends_with_separator(const std::string& path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

File::~File() {
    if (descriptor_ >= 0) {
        ::CloseHandle(as_handle(descriptor_));
    }
}

File::File(File&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::CloseHandle(as_handle(descriptor_));
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

// Directories cannot be opened as files without backup semantics, so
// CreateFile refuses them; pipes and devices are refused by their type.
File File::open_regular(const char* path, int access) {
    DWORD share = static_cast<DWORD>(access) == GENERIC_READ ? share_all : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = ::CreateFileA(path, static_cast<DWORD>(access), share, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return File();
    }
    return File(from_handle(handle));
}

File File::open_for_reading(const char* path) {
    return open_regular(path, static_cast<int>(GENERIC_READ));
}

// CREATE_NEW fails on any existing name, a symbolic link included, so a
// name planted by someone else is never opened.
File File::create_new(const std::string& path, Creation& outcome) {
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        outcome = Creation::created;
    } else {
        DWORD error = ::GetLastError();
        outcome = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Creation::name_taken
                                                                              : Creation::failed;
    }
    return File(from_handle(handle));
}

File File::open_for_overwriting(const char* path) {
    return open_regular(path, static_cast<int>(GENERIC_WRITE));
}

bool File::is_open() const {
    return descriptor_ >= 0;
}

std::optional<FileStatus> File::status() const {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(as_handle(descriptor_), &information)) {
        return std::nullopt;
    }
    FileStatus status;
    status.identity = {information.dwVolumeSerialNumber,
                       (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                           information.nFileIndexLow};
    status.length = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
    status.times = {from_filetime(information.ftLastAccessTime),
                    from_filetime(information.ftLastWriteTime)};
    return status;
}

// Windows has no set-ID bits, and a write takes nothing else away.
Privileges File::privileges() const {
    return Privileges();
}

void File::restore(const Privileges&) {}

// Needs FILE_WRITE_ATTRIBUTES, which GENERIC_WRITE carries.
bool File::set_times(const FileTimes& times) {
    FILETIME access = to_filetime(times.access);
    FILETIME modification = to_filetime(times.modification);
    return ::SetFileTime(as_handle(descriptor_), nullptr, &access, &modification) != 0;
}

std::int64_t File::length() const {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(as_handle(descriptor_), &size)) {
        return -1;
    }
    return size.QuadPart;
}

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    DWORD got = 0;
    DWORD wanted = static_cast<DWORD>(size < largest_transfer ? size : largest_transfer);
    if (!::ReadFile(as_handle(descriptor_), buffer, wanted, &got, nullptr)) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool File::write_all(const void* bytes, std::size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        DWORD written = 0;
        DWORD wanted = static_cast<DWORD>(size < largest_transfer ? size : largest_transfer);
        if (!::WriteFile(as_handle(descriptor_), next, wanted, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

bool File::rewind() {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return ::SetFilePointerEx(as_handle(descriptor_), start, nullptr, FILE_BEGIN) != 0;
}

// Raising the allocation size reserves clusters without moving the end of
// the file.
Reservation File::reserve(std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = length;
    if (::SetFileInformationByHandle(as_handle(descriptor_), FileAllocationInfo, &allocation,
                                     sizeof allocation)) {
        return Reservation::reserved;
    }
    DWORD error = ::GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? Reservation::no_space
                                                                       : Reservation::unsupported;
}

bool File::truncate(std::int64_t length) {
    LARGE_INTEGER end;
    end.QuadPart = length;
    return ::SetFilePointerEx(as_handle(descriptor_), end, nullptr, FILE_BEGIN) &&
           ::SetEndOfFile(as_handle(descriptor_));
}

// Windows schedules its own write-back; nothing to hint.
void File::note_written(std::int64_t) {}

KernelCopy File::copy_from(File&, std::int64_t& copied) {
    copied = 0;
    return KernelCopy::unsupported;
}

bool File::sync() {
    return ::FlushFileBuffers(as_handle(descriptor_)) != 0;
}

bool File::close() {
    std::intptr_t descriptor = std::exchange(descriptor_, -1);
    return descriptor < 0 || ::CloseHandle(as_handle(descriptor)) != 0;
}

// Windows holds the directory by its name: CreateFile takes no directory
// handle to create or open names relative to. CREATE_NEW and the identity
// check of the write-back still keep a planted or swapped name from being
// written through.
Directory::~Directory() = default;
Directory::Directory(Directory&& other) noexcept = default;
Directory& Directory::operator=(Directory&& other) noexcept = default;

Directory Directory::open(const std::string& path) {
    Directory directory;
    directory.path_ = path;
    DWORD attributes = ::GetFileAttributesA(path.empty() ? "." : path.c_str());
    directory.open_ =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return directory;
}

bool Directory::is_open() const {
    return open_;
}

NameState Directory::check(const std::string& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    if (::GetFileAttributesA(path_of(name).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return NameState::taken;
    }
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return NameState::free;
        case ERROR_ACCESS_DENIED:
            return NameState::taken;
        default:
            return NameState::unchecked;
    }
}

File Directory::create_new(const std::string& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        return File();
    }
    return File::create_new(path_of(name), outcome);
}

File Directory::open_for_reading(const std::string& name) {
    return File::open_for_reading(path_of(name).c_str());
}

File Directory::open_for_overwriting(const std::string& name) {
    return File::open_for_overwriting(path_of(name).c_str());
}

// Directory entries cannot be flushed through a handle here; NTFS logs them
// in its journal.
bool Directory::sync_entry(File&) {
    return true;
}

bool Directory::remove(const std::string& name) {
    return ::DeleteFileA(path_of(name).c_str()) != 0;
}

}  // namespace kivsubst::platform

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

std::optional<FileTimes> read_times(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return FileTimes{from_filetime(data.ftLastAccessTime), from_filetime(data.ftLastWriteTime)};
}

bool set_times(const char* path, const FileTimes& times) {
    HANDLE handle = ::CreateFileA(path, FILE_WRITE_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME access = to_filetime(times.access);
    FILETIME modification = to_filetime(times.modification);
    bool set = ::SetFileTime(handle, nullptr, &access, &modification) != 0;
    ::CloseHandle(handle);
    return set;
}

bool exists(const std::string& path) {
    return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Only a name that is certainly absent is free. A refused check is not, and
// neither is a name under a directory that cannot be found (as when TMP
// names a plain file).
bool name_is_free(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           ::GetLastError() == ERROR_FILE_NOT_FOUND;
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

// Directory entries cannot be flushed through a handle here; NTFS logs them
// in its journal.
bool sync_directory(const std::string&) {
    return true;
}

bool remove_file(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != 0;
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

}  // namespace kivsubst::platform

// Win32 services for the copy: handles under the C runtime's streams, file
// identity by volume and file index, and times at 100-nanosecond precision.
#include "platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace kivcopy::platform {
namespace {

// Seconds between 1601-01-01, where Windows counts from, and 1970-01-01.
constexpr std::int64_t epoch_difference = 11644473600LL;
constexpr std::int64_t ticks_per_second = 10000000LL;  // of 100 ns each

FileTime from_filetime(const FILETIME& time) {
    std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    std::int64_t seconds = ticks / ticks_per_second;
    return {seconds - epoch_difference,
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

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// Wraps a Win32 handle in a C runtime stream; the handle is closed if that
// fails.
std::FILE* stream_on(HANDLE handle, int flags, const char* mode) {
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, mode);
    if (stream == nullptr) {
        ::_close(fd);
    }
    return stream;
}

}  // namespace

// Directories cannot be opened as files here, so CreateFile refuses them;
// pipes and devices are refused by their type.
std::FILE* open_source(const char* path) {
    HANDLE handle = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return nullptr;
    }
    return stream_on(handle, _O_RDONLY, "rb");
}

// The target is opened without truncation and cut to nothing only once it is
// known not to be the source: truncating first would destroy the very data
// that is about to be copied.
TargetStream open_target(const char* path, std::FILE* source) {
    HANDLE handle = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return {};
    }
    if (same_file(handle, handle_of(source))) {
        ::CloseHandle(handle);
        return {nullptr, true};
    }
    if (!::SetEndOfFile(handle)) {
        ::CloseHandle(handle);
        return {};
    }
    return {stream_on(handle, _O_WRONLY, "wb"), false};
}

bool read_access_time(std::FILE* file, FileTime& time) {
    FILETIME access;
    if (!::GetFileTime(handle_of(file), nullptr, &access, nullptr)) {
        return false;
    }
    time = from_filetime(access);
    return true;
}

bool set_both_times(const char* path, FileTime time) {
    HANDLE handle = ::CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME stamp = to_filetime(time);
    bool set = ::SetFileTime(handle, nullptr, &stamp, &stamp) != 0;
    ::CloseHandle(handle);
    return set;
}

}  // namespace kivcopy::platform

/* SPDX-License-Identifier: Zlib */
// File times and Windows' FILETIME: 100-nanosecond ticks since 1601-01-01
// against seconds and nanoseconds since 1970-01-01.
#ifndef KIVCOMMON_WIN32_FILETIME_H
#define KIVCOMMON_WIN32_FILETIME_H

#include <windows.h>

#include <cstdint>

#include "kivcommon/types.h"

namespace kivcommon {

// Seconds between 1601-01-01, where Windows counts from, and 1970-01-01.
constexpr std::int64_t epoch_difference = 11644473600LL;
constexpr std::int64_t ticks_per_second = 10000000LL;  // of 100 ns each

inline FileTime from_filetime(const FILETIME& time) {
    std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return {ticks / ticks_per_second - epoch_difference,
            static_cast<std::int32_t>((ticks % ticks_per_second) * 100)};
}

inline FILETIME to_filetime(std::int64_t seconds, std::int64_t nanoseconds) {
    std::uint64_t ticks = static_cast<std::uint64_t>((seconds + epoch_difference) * ticks_per_second +
                                                     nanoseconds / 100);
    FILETIME converted;
    converted.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffffu);
    converted.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return converted;
}

}  // namespace kivcommon

#endif

// SPDX-License-Identifier: Zlib
#include "kivfs/hidden_names.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace kivfs {

using kivcommon::PathChar;

namespace {

// The longest name that the file systems keep: 255 bytes on Linux, 255
// UTF-16 units on NTFS.
constexpr std::size_t longest_name = 255;

// How many units a hidden name adds to the stem's: the 16 hex digits.
constexpr std::size_t hex_digits = 16;

}  // namespace

// A UTF-8 sequence is at most four bytes: the cut steps back over at most
// three that continue one. A name that is not UTF-8 there is cut where it
// must be.
std::size_t whole_characters(const std::string& name, std::size_t most) {
    if (name.size() <= most) {
        return name.size();
    }
    std::size_t cut = most;
    for (int back = 0; back < 3 && cut > 0 &&
                       (static_cast<unsigned char>(name[cut]) & 0xC0u) == 0x80u;
         ++back) {
        --cut;
    }
    return (static_cast<unsigned char>(name[cut]) & 0xC0u) == 0x80u ? most : cut;
}

std::size_t whole_characters(const std::wstring& name, std::size_t most) {
    if (name.size() <= most) {
        return name.size();
    }
    const auto unit = [&](std::size_t at) { return static_cast<std::uint32_t>(name[at]); };
    const bool splits_a_pair = most > 0 && unit(most - 1) >= 0xD800u &&
                               unit(most - 1) <= 0xDBFFu && unit(most) >= 0xDC00u &&
                               unit(most) <= 0xDFFFu;
    return splits_a_pair ? most - 1 : most;
}

// The stem keeps the whole NAME where the digits still fit after it,
// else as much of it as fits before a "." that marks it as cut.
Path hidden_stem_for(const Path& target_name, const char* kind) {
    Path tail;
    for (const char* part : {".kiv-", kind, "-"}) {
        for (; *part != '\0'; ++part) {
            tail += static_cast<PathChar>(*part);
        }
    }
    Path stem;
    stem += PathChar{'.'};
    if (1 + target_name.size() + tail.size() + hex_digits <= longest_name) {
        stem += target_name;
    } else {
        const std::size_t room = longest_name - 2 - tail.size() - hex_digits;
        stem += target_name.substr(0, whole_characters(target_name, room));
        stem += PathChar{'.'};
    }
    return stem + tail;
}

// The 16 hex digits mix the process, the clock and a count of the
// process's names: two calls never make the same one, and another process
// cannot tell them in advance to within a guess or two.
Path hidden_name_for(const Path& target_name, const char* kind) {
    static std::atomic<std::uint64_t> made{0};
#if defined(_WIN32)
    const auto process = static_cast<std::uint64_t>(::_getpid());
#else
    const auto process = static_cast<std::uint64_t>(::getpid());
#endif
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::uint64_t mixed = (now ^ (process << 40) ^ (++made * 0x9E3779B97F4A7C15ull));
    mixed ^= mixed >> 29;
    mixed *= 0xBF58476D1CE4E5B9ull;
    mixed ^= mixed >> 32;
    Path name = hidden_stem_for(target_name, kind);
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += static_cast<PathChar>("0123456789abcdef"[(mixed >> shift) & 0xf]);
    }
    return name;
}

}  // namespace kivfs

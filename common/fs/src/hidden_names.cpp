// SPDX-License-Identifier: Zlib
#include "kivfs/hidden_names.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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

// Text of the system's own formats, all ASCII, as a path.
Path ascii(const char* text) {
    Path path;
    for (; *text != '\0'; ++text) {
        path += static_cast<PathChar>(*text);
    }
    return path;
}

// Whether `name` holds only decimal digits from `from` on, at least one, at
// most `most`, without a leading zero (std::to_string's form).
bool is_number_from(const Path& name, std::size_t from, std::size_t most) {
    const std::size_t length = name.size() - from;
    if (length == 0 || length > most || (length > 1 && name[from] == PathChar{'0'})) {
        return false;
    }
    for (std::size_t at = from; at < name.size(); ++at) {
        if (name[at] < PathChar{'0'} || name[at] > PathChar{'9'}) {
            return false;
        }
    }
    return true;
}

// Whether the last 16 units of `name` are lower-case hex digits, as
// hidden_name_for writes them.
bool ends_in_hex_digits(const Path& name) {
    if (name.size() < hex_digits) {
        return false;
    }
    for (std::size_t at = name.size() - hex_digits; at < name.size(); ++at) {
        const PathChar unit = name[at];
        if (!((unit >= PathChar{'0'} && unit <= PathChar{'9'}) ||
              (unit >= PathChar{'a'} && unit <= PathChar{'f'}))) {
            return false;
        }
    }
    return true;
}

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
    const Path tail = ascii(".kiv-") + ascii(kind) + ascii("-");
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

Path numbered_name(std::uint32_t number) {
    return ascii(numbered_kind) + ascii(std::to_string(number % numbered_names).c_str());
}

bool HiddenName::is(const char* other) const {
    return kind != nullptr && std::strcmp(kind, other) == 0;
}

bool HiddenName::target_is_cut() const {
    return !target.empty() && target.back() == PathChar{'.'};
}

// A hidden name is ".", a NAME of at least one unit, ".kiv-KIND-" and the
// 16 digits; a numbered one "KIV" and its number. Nothing else is ours.
std::optional<HiddenName> parse_hidden_name(const Path& name) {
    const Path numbered = ascii(numbered_kind);
    if (name.compare(0, numbered.size(), numbered) == 0 &&
        is_number_from(name, numbered.size(), 5)) {
        return HiddenName{numbered_kind, Path()};
    }
    if (name.empty() || name.front() != PathChar{'.'} || !ends_in_hex_digits(name)) {
        return std::nullopt;
    }
    for (const char* kind :
         {staged_kind, set_aside_kind, old_kind, private_directory_kind, transaction_kind}) {
        const Path tail = ascii(".kiv-") + ascii(kind) + ascii("-");
        if (name.size() < 2 + tail.size() + hex_digits) {
            continue;
        }
        const std::size_t tail_at = name.size() - hex_digits - tail.size();
        if (name.compare(tail_at, tail.size(), tail) == 0) {
            return HiddenName{kind, name.substr(1, tail_at - 1)};
        }
    }
    return std::nullopt;
}

}  // namespace kivfs

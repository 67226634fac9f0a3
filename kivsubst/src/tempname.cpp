// SPDX-License-Identifier: Zlib
#include "tempname.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "kivfs/hidden_names.h"
#include "paths.h"
#include "platform.h"

namespace kivsubst::tempname {
namespace {

constexpr std::uint32_t numbers_in_cycle = kivfs::numbered_names;

// The last number given out, shared by every call in the process. Calls
// on several threads take their numbers from it one after another, each
// number once per turn of the cycle, as one thread would.
std::atomic<std::uint32_t> last_number{0};

// Takes the number after the last one given out, in the cycle.
std::uint32_t take_next_number() {
    std::uint32_t last = last_number.load();
    std::uint32_t next = 0;
    do {
        next = (last + 1) % numbers_in_cycle;
    } while (!last_number.compare_exchange_weak(last, next));
    return next;
}

}  // namespace

std::optional<Path> tmp_directory() {
    std::optional<Path> value = platform::environment("TMP");
    if (!value) {
        return std::nullopt;
    }
    Path tmp = *value;
    if (platform::exists(tmp)) {
        return tmp;
    }
    if (tmp.find('"') != Path::npos) {
        tmp.erase(std::remove(tmp.begin(), tmp.end(), '"'), tmp.end());
        if (platform::exists(tmp)) {
            return tmp;
        }
    }
    return std::nullopt;
}

Choice choose_directory(const Path& preferred) {
    if (std::optional<Path> tmp = tmp_directory()) {
        return {*tmp, false};
    }
    if (!preferred.empty() && platform::exists(preferred)) {
        return {preferred, true};
    }
    Path root = paths::root_directory;
    if (platform::exists(root)) {
        return {root, false};
    }
    return {paths::current_directory(), false};
}

std::optional<Path> next_free_name(const platform::Directory& directory) {
    for (std::uint32_t tried = 0; tried < numbers_in_cycle; ++tried) {
        const std::uint32_t number = take_next_number();
        Path name = kivfs::numbered_name(number);
        if (directory.check(name) != platform::NameState::taken) {
            return name;
        }
    }
    return std::nullopt;
}

}  // namespace kivsubst::tempname

/* SPDX-License-Identifier: Zlib */
// Pieces shared by the benchmark's driver programs.
#ifndef KIV_BENCH_DRIVER_COMMON_H
#define KIV_BENCH_DRIVER_COMMON_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace bench {

// splitmix64: fast, and the same bytes on every platform for a given seed, so
// that a case's files are the same from one run of the benchmark to the next.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31U);
    }

private:
    std::uint64_t state_;
};

// A decimal number with nothing around it.
inline bool parse_size(const char* text, std::uint64_t& value) {
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace bench

#endif

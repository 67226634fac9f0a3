// SPDX-License-Identifier: Zlib
// subst_driver: the helper program of the substitution benchmark (bench/run).
//
//   subst_driver make-pattern LENGTH PATTERN_OUT REPLACEMENT_OUT
//   subst_driver make-file OUT SIZE_BYTES PATTERN_FILE SPACING [SEED]
//   subst_driver replace FILE PATTERN_FILE REPLACEMENT_FILE [EXPECTED_RC]
//   subst_driver repeat FILE PATTERN_FILE REPLACEMENT_FILE COUNT
//
// make-pattern writes a pattern of LENGTH bytes and a replacement of the same
// length, both made only of bytes 0x80-0xFF. A pattern of two bytes or more
// is also valid UTF-8 (two-byte sequences, plus one three-byte sequence for
// an odd length), and so is its replacement, so that the text-only tools the
// benchmark compares with can take it; a single byte cannot be both at once
// and stays a raw byte, which is the case those tools cannot take.
//
// make-file writes SIZE_BYTES pseudo-random text (bytes 0x20-0x7E and line
// feeds, about one line every 96 bytes) with one copy of the pattern in the
// middle of every SPACING bytes; SPACING 0 plants none. Because the
// pattern's bytes never occur in the filler and every two copies are
// separated by filler, the file holds exactly the planted copies, so every
// run of a case does the same amount of replacing. The same SEED gives the
// same filler, so the file made with the replacement in place of the pattern
// is the exact expected result of a substitution, made without any search.
// Lines matter because some of the tools compared work line by line.
//
// replace makes one replaceString call, timed with steady_clock around the
// call alone, so that process start-up and reading the pattern files are not
// counted, and prints one line:
//
//   seconds=<wall time of the call> rc=<result> maxrss_kib=<peak resident set>
//
// The peak resident set is the whole process's, which is what an installer
// loading the library would see added to its own.
//
// replace-text makes one replaceText call instead, with the pattern and the
// replacement as UTF-8 text, and prints the same line.
//
// repeat makes COUNT replaceString calls on FILE, the pattern and the
// replacement trading places every call, so that each call replaces as many
// occurrences as the first. Before each call everything is synced, untimed,
// as bench/run does before every run, so that no call pays for what the one
// before left to write. It prints the time of one call over the COUNT calls:
//
//   calls=<COUNT> median_s=<...> mean_s=<...> min_s=<...> max_s=<...>
//
// This is the cost of a call on a file of FILE's size alone, small files
// included, which no case of bench/run isolates: a change to the library's
// syncs shows here as a difference in the median.
//
// Exit status: 0 on success (for replace: the call returned EXPECTED_RC,
// by default 0, a replacement), 1 when the driver cannot read or write its
// files, 2 when replace ran but returned another result (the benchmark knows
// what each file holds, so that means the measurement is not valid), 64 on a
// wrong command line.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#  include <sys/resource.h>
#  include <unistd.h>
#  define SUBST_DRIVER_HAS_RUSAGE 1
#else
#  define SUBST_DRIVER_HAS_RUSAGE 0
#endif

#include "driver_common.h"
#include "kivsubst.h"

namespace {

using bench::Generator;
using bench::parse_size;

using bench::exit_io;
using bench::exit_ok;

constexpr int exit_not_replaced = 2;

// Large enough that writing the test file costs little per call, small enough
// that generating a 1 GiB file does not need 1 GiB of memory.
constexpr std::size_t chunk_size = std::size_t{4} << 20;

constexpr bench::Usage driver_usage{
    "subst_driver",
    "Usage: subst_driver make-pattern LENGTH PATTERN_OUT REPLACEMENT_OUT\n"
    "       subst_driver make-file OUT SIZE_BYTES PATTERN_FILE SPACING [SEED]\n"
    "       subst_driver replace FILE PATTERN_FILE REPLACEMENT_FILE [EXPECTED_RC]\n"
    "       subst_driver replace-text FILE PATTERN_FILE REPLACEMENT_FILE ENCODING [EXPECTED_RC]\n"
    "       subst_driver repeat FILE PATTERN_FILE REPLACEMENT_FILE COUNT\n"};

int usage_error(const char* message) {
    return bench::usage_error(driver_usage, message);
}



bool read_file(const char* path, std::vector<unsigned char>& bytes) {
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "subst_driver: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    bytes.clear();
    unsigned char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        std::fprintf(stderr, "subst_driver: cannot read %s\n", path);
        return false;
    }
    return true;
}

bool write_all(std::FILE* out, const char* path, const unsigned char* data, std::size_t size) {
    if (std::fwrite(data, 1, size, out) != size) {
        std::fprintf(stderr, "subst_driver: cannot write %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool close_written(std::FILE* out, const char* path) {
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "subst_driver: cannot write %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool write_file(const char* path, const std::vector<unsigned char>& bytes) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "subst_driver: cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const bool written = write_all(out, path, bytes.data(), bytes.size());
    return close_written(out, path) && written;
}

int make_pattern(int argc, char** argv) {
    if (argc != 5) {
        return usage_error("make-pattern takes LENGTH PATTERN_OUT REPLACEMENT_OUT");
    }
    std::uint64_t length = 0;
    if (!parse_size(argv[2], length) || length == 0 || length > INT32_MAX) {
        return usage_error("LENGTH must be a number from 1 to 2^31-1");
    }
    Generator generator(length);
    std::vector<unsigned char> pattern(static_cast<std::size_t>(length));
    std::vector<unsigned char> replacement(pattern.size());
    // Every byte of the replacement differs from the pattern's at the same
    // place and stays in the same UTF-8 role (lead or continuation byte), so
    // the replacement is as valid, or as invalid, UTF-8 as the pattern.
    const auto continuation = [&](std::size_t i) {
        pattern[i] = static_cast<unsigned char>(0x80U | (generator.next() & 0x3FU));
        replacement[i] = static_cast<unsigned char>(pattern[i] ^ 0x3FU);
    };
    std::size_t i = 0;
    if (pattern.size() == 1) {
        // The high half of the byte range, which the filler never uses;
        // flipping bit 6 keeps the replacement there.
        pattern[0] = static_cast<unsigned char>(0x80U | (generator.next() & 0x7FU));
        replacement[0] = static_cast<unsigned char>(pattern[0] ^ 0x40U);
        i = 1;
    } else if (pattern.size() % 2 != 0) {
        // E2-EB: lead bytes of three-byte sequences whose continuation bytes
        // may be anything from 0x80 to 0xBF, a range closed under flipping
        // bit 0.
        pattern[0] = static_cast<unsigned char>(0xE2U + generator.next() % 10U);
        replacement[0] = static_cast<unsigned char>(pattern[0] ^ 0x01U);
        continuation(1);
        continuation(2);
        i = 3;
    }
    for (; i < pattern.size(); i += 2) {
        // C2-DF: lead bytes of two-byte sequences, again closed under
        // flipping bit 0.
        pattern[i] = static_cast<unsigned char>(0xC2U + generator.next() % 30U);
        replacement[i] = static_cast<unsigned char>(pattern[i] ^ 0x01U);
        continuation(i + 1);
    }
    if (!write_file(argv[3], pattern) || !write_file(argv[4], replacement)) {
        return exit_io;
    }
    return exit_ok;
}

int make_file(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        return usage_error("make-file takes OUT SIZE_BYTES PATTERN_FILE SPACING [SEED]");
    }
    const char* path = argv[2];
    std::uint64_t size = 0;
    std::uint64_t spacing = 0;
    std::uint64_t seed = 1;
    if (!parse_size(argv[3], size)) {
        return usage_error("SIZE_BYTES must be a number");
    }
    if (!parse_size(argv[5], spacing)) {
        return usage_error("SPACING must be a number");
    }
    if (argc == 7 && !parse_size(argv[6], seed)) {
        return usage_error("SEED must be a number");
    }
    std::vector<unsigned char> pattern;
    if (!read_file(argv[4], pattern)) {
        return exit_io;
    }
    const std::uint64_t length = pattern.size();
    if (length == 0 || (spacing != 0 && spacing <= length)) {
        // At least one filler byte between two copies, or two copies could
        // join into a longer run and the count would no longer be exact.
        return usage_error("the pattern must be non-empty and shorter than SPACING");
    }
    // Each copy sits in the middle of its SPACING-byte block, so a copy
    // never crosses into the next block and only whole copies are planted.
    const std::uint64_t offset = spacing != 0 ? (spacing - length) / 2 : 0;

    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "subst_driver: cannot create %s: %s\n", path, std::strerror(errno));
        return exit_io;
    }
    Generator generator(seed);
    std::vector<unsigned char> chunk(chunk_size);
    std::uint64_t planted = 0;
    bool written = true;
    for (std::uint64_t start = 0; start < size && written; start += chunk_size) {
        const std::size_t count =
            static_cast<std::size_t>(size - start < chunk_size ? size - start : chunk_size);
        for (std::size_t i = 0; i < count; i += 8) {
            std::uint64_t random = generator.next();
            const std::size_t end = i + 8 < count ? i + 8 : count;
            for (std::size_t j = i; j < end; ++j, random >>= 8U) {
                const auto value = static_cast<unsigned>((random & 0xFFU) % 96U);
                chunk[j] = static_cast<unsigned char>(value == 95U ? '\n' : 0x20U + value);
            }
        }
        const std::uint64_t stop = start + count;
        // With SPACING 0 the first block is already past the chunk.
        const std::uint64_t first = spacing != 0 ? start / spacing * spacing : stop;
        for (std::uint64_t block = first; block < stop; block += spacing) {
            const std::uint64_t at = block + offset;
            if (at + length > size) {
                break;
            }
            // Only the part of the copy that falls in this chunk; the rest is
            // written with the neighbouring chunk.
            const std::uint64_t from = at > start ? at : start;
            const std::uint64_t to = at + length < stop ? at + length : stop;
            if (from < to) {
                std::memcpy(chunk.data() + (from - start), pattern.data() + (from - at),
                            static_cast<std::size_t>(to - from));
            }
            if (at >= start) {
                ++planted;
            }
        }
        written = write_all(out, path, chunk.data(), count);
    }
    if (!close_written(out, path) || !written) {
        return exit_io;
    }
    std::printf("planted=%llu\n", static_cast<unsigned long long>(planted));
    return exit_ok;
}

long peak_rss_kib() {
#if SUBST_DRIVER_HAS_RUSAGE
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return -1;
    }
#  if defined(__APPLE__)
    return usage.ru_maxrss / 1024;  // bytes there, KiB elsewhere
#  else
    return usage.ru_maxrss;
#  endif
#else
    return -1;
#endif
}

// Reads the pattern and the replacement from their files; exit_ok, or the
// driver's exit status for what went wrong.
int read_pair(const char* pattern_file, const char* replacement_file,
              std::vector<unsigned char>& pattern, std::vector<unsigned char>& replacement) {
    if (!read_file(pattern_file, pattern) || !read_file(replacement_file, replacement)) {
        return exit_io;
    }
    if (pattern.size() > INT32_MAX || replacement.size() > INT32_MAX) {
        return usage_error("the pattern and the replacement must be shorter than 2 GiB");
    }
    return exit_ok;
}

int replace(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        return usage_error("replace takes FILE PATTERN_FILE REPLACEMENT_FILE [EXPECTED_RC]");
    }
    std::uint64_t expected = KIVSUBST_REPLACED;
    if (argc == 6 && (!parse_size(argv[5], expected) || expected > INT32_MAX)) {
        return usage_error("EXPECTED_RC must be a result of replaceString");
    }
    std::vector<unsigned char> pattern;
    std::vector<unsigned char> replacement;
    if (const int failed = read_pair(argv[3], argv[4], pattern, replacement); failed != exit_ok) {
        return failed;
    }
    // Flushed now so that the library's own output, if any, follows it.
    std::fflush(stdout);

    const auto started = std::chrono::steady_clock::now();
    const std::int32_t rc =
        replaceString(argv[2], pattern.data(), static_cast<std::int32_t>(pattern.size()),
                      replacement.data(), static_cast<std::int32_t>(replacement.size()));
    const auto finished = std::chrono::steady_clock::now();

    const double seconds = std::chrono::duration<double>(finished - started).count();
    std::printf("seconds=%.6f rc=%d maxrss_kib=%ld\n", seconds, static_cast<int>(rc),
                peak_rss_kib());
    return static_cast<std::uint64_t>(rc) == expected ? exit_ok : exit_not_replaced;
}

// replace-text: one replaceText call, the pattern and the replacement read
// from their files as UTF-8 text, timed and told as replace's call is.
int replace_text(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        return usage_error(
            "replace-text takes FILE PATTERN_FILE REPLACEMENT_FILE ENCODING [EXPECTED_RC]");
    }
    std::uint64_t encoding = 0;
    std::uint64_t expected = KIVSUBST_REPLACED;
    if (!parse_size(argv[5], encoding) || encoding > 4 ||
        (argc == 7 && (!parse_size(argv[6], expected) || expected > INT32_MAX))) {
        return usage_error("ENCODING must be 0 to 4, EXPECTED_RC a result of replaceText");
    }
    std::vector<unsigned char> pattern;
    std::vector<unsigned char> replacement;
    if (const int failed = read_pair(argv[3], argv[4], pattern, replacement); failed != exit_ok) {
        return failed;
    }
    const std::string old_text(pattern.begin(), pattern.end());
    const std::string new_text(replacement.begin(), replacement.end());
    std::fflush(stdout);

    const auto started = std::chrono::steady_clock::now();
    const std::int32_t rc = replaceText(argv[2], old_text.c_str(), new_text.c_str(),
                                        static_cast<std::int32_t>(encoding));
    const auto finished = std::chrono::steady_clock::now();

    const double seconds = std::chrono::duration<double>(finished - started).count();
    std::printf("seconds=%.6f rc=%d maxrss_kib=%ld\n", seconds, static_cast<int>(rc),
                peak_rss_kib());
    return static_cast<std::uint64_t>(rc) == expected ? exit_ok : exit_not_replaced;
}

// Writes out everything the system holds unwritten, on every disk.
void sync_everything() {
#if SUBST_DRIVER_HAS_RUSAGE
    ::sync();
#endif
}

int repeat(int argc, char** argv) {
    std::uint64_t count = 0;
    if (argc != 6 || !parse_size(argv[5], count) || count == 0) {
        return usage_error("repeat takes FILE PATTERN_FILE REPLACEMENT_FILE COUNT (at least 1)");
    }
    std::vector<unsigned char> pattern;
    std::vector<unsigned char> replacement;
    if (const int failed = read_pair(argv[3], argv[4], pattern, replacement); failed != exit_ok) {
        return failed;
    }
    std::vector<double> seconds;
    for (std::uint64_t call = 0; call < count; ++call) {
        const std::vector<unsigned char>& from = call % 2 == 0 ? pattern : replacement;
        const std::vector<unsigned char>& to = call % 2 == 0 ? replacement : pattern;
        sync_everything();
        const auto started = std::chrono::steady_clock::now();
        const std::int32_t rc =
            replaceString(argv[2], from.data(), static_cast<std::int32_t>(from.size()), to.data(),
                          static_cast<std::int32_t>(to.size()));
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (rc != KIVSUBST_REPLACED) {
            std::fprintf(stderr, "subst_driver: call %llu returned %d\n",
                         static_cast<unsigned long long>(call + 1), static_cast<int>(rc));
            return exit_not_replaced;
        }
    }
    double total = 0;
    for (double one : seconds) {
        total += one;
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("calls=%zu median_s=%.6f mean_s=%.6f min_s=%.6f max_s=%.6f\n", seconds.size(),
                seconds[seconds.size() / 2], total / static_cast<double>(seconds.size()),
                seconds.front(), seconds.back());
    return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::run_command(argc, argv, driver_usage,
                              {{"make-pattern", make_pattern},
                               {"make-file", make_file},
                               {"replace", replace},
                               {"replace-text", replace_text},
                               {"repeat", repeat}});
}

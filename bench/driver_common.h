/* SPDX-License-Identifier: Zlib */
// Pieces shared by the benchmark's driver programs.
#ifndef KIV_BENCH_DRIVER_COMMON_H
#define KIV_BENCH_DRIVER_COMMON_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace bench {

// Exit statuses every driver gives; each adds its own for a failed call.
constexpr int exit_ok = 0;
constexpr int exit_io = 1;
constexpr int exit_usage = 64;

// A driver's name, for its messages, and its usage text.
struct Usage {
    const char* program;
    const char* text;
};

// Tells what is wrong with the command line, and the usage, on standard
// error; returns exit_usage.
inline int usage_error(const Usage& usage, const char* message) {
    std::fprintf(stderr, "%s: %s\n", usage.program, message);
    std::fputs(usage.text, stderr);
    return exit_usage;
}

// A command of a driver: its name, the first argument, and what runs it
// (given the whole command line).
struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

// Runs the command that the first argument names; --help prints the usage.
inline int run_command(int argc, char** argv, const Usage& usage,
                       std::initializer_list<Command> commands) {
    if (argc < 2) {
        return usage_error(usage, "no command");
    }
    const std::string name = argv[1];
    for (const Command& command : commands) {
        if (name == command.name) {
            return command.run(argc, argv);
        }
    }
    if (name == "--help") {
        std::fputs(usage.text, stdout);
        return exit_ok;
    }
    return usage_error(usage, "unknown command");
}

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

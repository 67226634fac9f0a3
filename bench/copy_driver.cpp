// SPDX-License-Identifier: Zlib
// copy_driver: the helper program of the copy benchmark (bench/run).
//
//   copy_driver make-tree DIRECTORY COUNT MIN_BYTES MAX_BYTES [SEED]
//   copy_driver copy SOURCE TARGET
//   copy_driver each SOURCE_DIRECTORY TARGET_DIRECTORY
//
// make-tree fills an existing DIRECTORY with COUNT files named f00000,
// f00001, ... whose sizes are spread evenly from MIN_BYTES to MAX_BYTES,
// filled with pseudo-random bytes; the same SEED gives the same files.
//
// copy makes one KivCopyFile call, as an installer linking the library does.
//
// each copies every entry of SOURCE_DIRECTORY into the existing
// TARGET_DIRECTORY with one KivCopyFile call per file, in one process: what
// an installer copying a directory does. Reading the directory is part of
// the work, as it is for cp -r, so it happens here and not in the caller.
//
// Both copy commands leave an existing target alone (overwrite 0), as the
// front end does by default; the benchmark makes sure no target exists yet.
// Timing is done from outside, around the whole process, the same way for
// every tool compared.
//
// Exit status: 0 when every call returned KIVCOPY_OK, 1 when the driver
// cannot create or read its files, 2 when a call returned anything else
// (the measurement is then not valid), 64 on a wrong command line.
#include <dirent.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver_common.h"
#include "kivcopy.h"

namespace {

using bench::Generator;
using bench::parse_size;

using bench::exit_io;
using bench::exit_ok;

constexpr int exit_not_copied = 2;

constexpr bench::Usage driver_usage{
    "copy_driver",
    "Usage: copy_driver make-tree DIRECTORY COUNT MIN_BYTES MAX_BYTES [SEED]\n"
    "       copy_driver copy SOURCE TARGET\n"
    "       copy_driver each SOURCE_DIRECTORY TARGET_DIRECTORY\n"};

int usage_error(const char* message) {
    return bench::usage_error(driver_usage, message);
}



std::string join(const std::string& directory, const char* name) {
    return directory.back() == '/' ? directory + name : directory + '/' + name;
}

int make_tree(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        return usage_error("make-tree takes DIRECTORY COUNT MIN_BYTES MAX_BYTES [SEED]");
    }
    const std::string directory = argv[2];
    std::uint64_t count = 0;
    std::uint64_t smallest = 0;
    std::uint64_t largest = 0;
    std::uint64_t seed = 1;
    if (!parse_size(argv[3], count) || count > 100000) {
        return usage_error("COUNT must be a number up to 100000");
    }
    if (!parse_size(argv[4], smallest) || !parse_size(argv[5], largest) || smallest > largest ||
        largest > (std::uint64_t{1} << 30)) {
        return usage_error("MIN_BYTES and MAX_BYTES must be numbers, MIN <= MAX <= 1 GiB");
    }
    if (argc == 7 && !parse_size(argv[6], seed)) {
        return usage_error("SEED must be a number");
    }
    Generator generator(seed);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(largest));
    for (std::uint64_t index = 0; index < count; ++index) {
        const std::uint64_t size = smallest + generator.next() % (largest - smallest + 1);
        for (std::uint64_t i = 0; i < size; ++i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(generator.next());
        }
        char name[32];
        std::snprintf(name, sizeof name, "f%05llu", static_cast<unsigned long long>(index));
        const std::string path = join(directory, name);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "copy_driver: cannot create %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return exit_io;
        }
        const bool written = std::fwrite(bytes.data(), 1, static_cast<std::size_t>(size), out) ==
                             static_cast<std::size_t>(size);
        if (std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "copy_driver: cannot write %s\n", path.c_str());
            return exit_io;
        }
    }
    return exit_ok;
}

bool copied(const char* source, const std::string& target) {
    const std::int32_t result = KivCopyFile(source, target.c_str(), 0);
    if (result != KIVCOPY_OK) {
        std::fprintf(stderr, "copy_driver: %s -> %s: %d\n", source, target.c_str(),
                     static_cast<int>(result));
        return false;
    }
    return true;
}

int copy(int argc, char** argv) {
    if (argc != 4) {
        return usage_error("copy takes SOURCE TARGET");
    }
    return copied(argv[2], argv[3]) ? exit_ok : exit_not_copied;
}

int each(int argc, char** argv) {
    if (argc != 4) {
        return usage_error("each takes SOURCE_DIRECTORY TARGET_DIRECTORY");
    }
    const std::string from = argv[2];
    const std::string to = argv[3];
    DIR* directory = ::opendir(from.c_str());
    if (directory == nullptr) {
        std::fprintf(stderr, "copy_driver: cannot open %s: %s\n", from.c_str(),
                     std::strerror(errno));
        return exit_io;
    }
    bool all_copied = true;
    std::size_t files = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        all_copied = copied(join(from, entry->d_name).c_str(), join(to, entry->d_name)) &&
                     all_copied;
        ++files;
    }
    ::closedir(directory);
    if (files == 0) {
        std::fprintf(stderr, "copy_driver: %s is empty\n", from.c_str());
        return exit_io;
    }
    return all_copied ? exit_ok : exit_not_copied;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::run_command(argc, argv, driver_usage,
                              {{"make-tree", make_tree}, {"copy", copy}, {"each", each}});
}

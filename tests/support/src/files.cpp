// SPDX-License-Identifier: Zlib
#include "kivtest/files.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kivcommon {

std::ostream& operator<<(std::ostream& out, const FileTime& time) {
    return out << time.seconds << "s+" << time.nanoseconds << "ns";
}

}  // namespace kivcommon

namespace kivtest {

ScopedEnvironment::ScopedEnvironment(const char* name, const std::optional<std::string>& value)
    : name_(name) {
    if (const char* before = std::getenv(name)) {
        saved_ = before;
    }
    if (value) {
        set_environment(name, *value);
    } else {
        unset_environment(name);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (saved_) {
        set_environment(name_, *saved_);
    } else {
        unset_environment(name_);
    }
}

std::vector<std::string> sorted_names(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void write_tree(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [path, bytes] : files) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        write_file(path, bytes);
    }
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string pattern_bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::string bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    return bytes;
}

void WorkDirTest::SetUp() {
    dir_ = make_work_directory();
    ASSERT_FALSE(dir_.empty()) << "cannot make a work directory";
}

void WorkDirTest::TearDown() {
    if (dir_.empty()) {
        return;
    }
    if (HasFailure()) {
        std::printf("work directory kept: %s\n", dir_.c_str());
    } else {
        remove_tree(dir_);
    }
}

std::string WorkDirTest::path(const std::string& name) const {
    return dir_ + "/" + name;
}

#if defined(_WIN32)
std::string WorkDirTest::at(const std::string& name, char separator) const {
    std::string whole = dir_ + "\\" + name;
    std::replace(whole.begin(), whole.end(), separator == '\\' ? '/' : '\\', separator);
    return whole;
}
#endif

}  // namespace kivtest

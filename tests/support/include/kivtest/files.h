/* SPDX-License-Identifier: Zlib */
// Work directories and file contents for the tests.
#ifndef KIVTEST_FILES_H
#define KIVTEST_FILES_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kivtest/system.h"

namespace kivtest {

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
// `size` bytes that differ from offset to offset and from seed to seed, so
// that a block copied to the wrong place, or from another file, shows.
std::string pattern_bytes(std::size_t size, unsigned seed);
// Writes each file, given as its path and bytes, after making the
// directories its path names.
void write_tree(const std::vector<std::pair<std::string, std::string>>& files);
// The names in a directory, sorted: what a test expects a call to have left
// there, and nothing else.
std::vector<std::string> sorted_names(const std::string& directory);

// Every test gets a fresh directory of its own. It is removed when the test
// passes and kept, with its path printed, when the test fails.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the work directory.
    std::string path(const std::string& name) const;
    const std::string& dir() const { return dir_; }
#if defined(_WIN32)
    // A path inside the work directory written with `separator` throughout,
    // as the Windows suites give paths to the front ends.
    std::string at(const std::string& name, char separator = '\\') const;
#endif

private:
    std::string dir_;
};

}  // namespace kivtest

#endif

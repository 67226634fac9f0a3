// Work directories, file contents and file times for the tests.
#ifndef KIVTEST_FILES_H
#define KIVTEST_FILES_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace kivtest {

// A time with nanoseconds, as file systems keep them.
struct Time {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool operator==(const Time& other) const {
        return seconds == other.seconds && nanoseconds == other.nanoseconds;
    }
};
std::ostream& operator<<(std::ostream& out, const Time& time);

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
struct stat status_of(const std::string& path);

Time access_time(const std::string& path);
Time modification_time(const std::string& path);
void set_times(const std::string& path, Time access, Time modification);

// Every test gets a fresh directory of its own. It is removed when the test
// passes and kept, with its path printed, when the test fails.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the work directory.
    std::string path(const std::string& name) const;
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

// Removes a directory tree, clearing immutable flags on the way.
void remove_tree(const std::string& path);

}  // namespace kivtest

#endif

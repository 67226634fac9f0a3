// SPDX-License-Identifier: Zlib
// Linux only. Inputs at the edges: paths with spaces, quotes and bytes
// that are not ASCII, a pattern as long as the read block, and memory that
// runs out. A file past 4 GiB has a program of its own (large_file_test.cpp).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "scan.h"
#include "subst_faults.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::SubstFault;
using kivtest::write_file;

// Names with spaces, quotes and bytes that are not ASCII are passed to the
// system unchanged, in the file's path and in TMP's.
TEST_F(SubstFault, HandlesPathsWithSpacesQuotesAndOtherBytes) {
    const std::string odd = path("a dir 'with' \"quotes\" \xc3\xa9\xff");
    kivtest::make_directory(odd);
    kivtest::set_environment("TMP", odd);
    const std::string file = odd + "/file name \x01.txt";
    write_file(file, "old value");
    Call made = replace(file, "old", "new");
    EXPECT_EQ(made.result, 0) << made.printed;
    EXPECT_EQ(read_file(file), "new value");
    EXPECT_EQ(entries(odd).size(), 1u);
}

// A pattern as long as the library's read block, found twice: once across
// the block's edge.
TEST_F(SubstFault, ReplacesAPatternAsLongAsTheReadBlock) {
    std::string pattern(kivsubst::Scanner::default_block_size, 'p');
    for (std::size_t i = 0; i < pattern.size(); i += 4099) {
        pattern[i] = 'q';
    }
    std::string input = std::string(1000, 'x') + pattern + std::string(70000, 'y') + pattern + "z";
    write_file(path("file"), input);
    EXPECT_EQ(replace(path("file"), pattern, "R").result, 0);
    EXPECT_EQ(read_file(path("file")), std::string(1000, 'x') + "R" + std::string(70000, 'y') + "Rz");
}

TEST_F(SubstFault, ReportsMemoryThatRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
    write_file(path("file"), "abc");
    // A pattern far larger than any memory the suite may have freed and kept
    // for reuse, mapped but never touched.
    const std::size_t pattern_size = std::size_t{1} << 30;
    void* pattern = ::mmap(nullptr, pattern_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pattern, MAP_FAILED);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for what is mapped now and a little more, not for a buffer
        // as large as the pattern.
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) {
                pages = 0;
            }
            std::fclose(statm);
        }
        rlim_t limit = static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE)) + (16 << 20);
        struct rlimit bound = {limit, limit};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &bound) != 0) {
            ::_exit(2);
        }
        Call made = call(path("file").c_str(), pattern, static_cast<int32_t>(pattern_size), "x", 1);
        bool reported = made.result == KIVSUBST_NO_MEMORY &&
                        made.printed == "Memory allocation error; rc=6\n";
        if (!reported) {
            std::fprintf(stderr, "result %d, printed: %s\n", made.result, made.printed.c_str());
        }
        ::_exit(reported ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::munmap(pattern, pattern_size);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "the address-space limit could not be set";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the call did not report that memory ran out";
    EXPECT_EQ(read_file(path("file")), "abc");
    EXPECT_TRUE(entries(path("tmp")).empty());
#endif
}

}  // namespace

// SPDX-License-Identifier: Zlib
// An attack by size: a tree deeper than any path, which the front end run
// by root walks. Making and removing 19,000 levels takes seconds, so the
// test is a program of its own, labelled large as well as attack.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "attack_fixture.h"
#include "kivtest/programs.h"

namespace {

class Attack : public kivtest::AttackWorkDirTest {};

// kivsubst -r over a tree 19,000 directories deep, with descriptors enough
// for every level: the program must not die of a signal, and tells that it
// went no deeper than its limit. The tree is far
// deeper than a path can be long, so it is made and removed through
// descriptors and renames.
TEST_F(Attack, KivsubstRecursiveSurvivesATreeNineteenThousandDirectoriesDeep) {
    constexpr int depth = 19000;
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit raised = saved;
    raised.rlim_cur = depth + 256;
    raised.rlim_max = std::max(saved.rlim_max, raised.rlim_cur);
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "cannot allow " << raised.rlim_cur << " descriptors (the hard limit is "
                     << saved.rlim_max << "): " << std::strerror(errno);
    }

    // Each level in turn is moved up and its parent removed.
    struct Remover {
        std::string top;
        ~Remover() {
            const int at = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            while (at >= 0 && ::renameat(at, "d/d", at, "next") == 0 &&
                   ::unlinkat(at, "d", AT_REMOVEDIR) == 0 && ::renameat(at, "next", at, "d") == 0) {
            }
            ::close(at);
        }
    } remover{path("deep")};
    ASSERT_EQ(::mkdir(remover.top.c_str(), 0755), 0);
    int fd = ::open(remover.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < depth && fd >= 0; ++level) {
        const int below = ::mkdirat(fd, "d", 0755) == 0
                              ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : -1;
        ::close(fd);
        fd = below;
    }
    ASSERT_GE(fd, 0) << "cannot make the deep tree";
    const int file = ::openat(fd, "app.conf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(file, "port=8080", 9), 9);
    ::close(file);
    ::close(fd);

    const kivtest::ProgramRun run = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "--", "8080", "8443", remover.top}, {"TMP"});
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(run.signal, 0) << "kivsubst died of signal " << run.signal;
    EXPECT_EQ(run.exit_status, 3) << run.err;
    EXPECT_NE(run.err.find("not entered"), std::string::npos) << run.err;
}

}  // namespace

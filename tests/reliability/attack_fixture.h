/* SPDX-License-Identifier: Zlib */
// The work directory of an attack on the front ends: root runs them there,
// and nobody, the attacker, can reach it. Shared by the attacks
// (attack_test.cpp) and by the tree deeper than any path
// (deep_tree_test.cpp), which is a program of its own, labelled large.
#ifndef KIV_RELIABILITY_ATTACK_FIXTURE_H
#define KIV_RELIABILITY_ATTACK_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "kivtest/files.h"

namespace kivtest {

class AttackWorkDirTest : public WorkDirTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the attacks need root: root runs the front ends, nobody attacks";
        }
        WorkDirTest::SetUp();
        // Only root may change the work directory itself; nobody must be
        // able to reach it, so an ancestor others may not search is opened
        // to them for the test.
        ASSERT_EQ(::chmod(dir().c_str(), 0755), 0);
        for (std::string at = dir(); at.find('/', 1) != std::string::npos;) {
            at.resize(at.find_last_of('/'));
            struct stat status {};
            if (::stat(at.c_str(), &status) == 0 && (status.st_mode & S_IXOTH) == 0) {
                opened_.emplace_back(at, status.st_mode & 07777);
                ASSERT_EQ(::chmod(at.c_str(), (status.st_mode & 07777) | S_IXOTH), 0) << at;
            }
        }
        umask_ = ::umask(022);
    }

    void TearDown() override {
        if (::geteuid() != 0) {
            return;
        }
        ::umask(umask_);
        for (const auto& [at, mode] : opened_) {
            ::chmod(at.c_str(), mode);
        }
        WorkDirTest::TearDown();
    }

private:
    std::vector<std::pair<std::string, mode_t>> opened_;
    mode_t umask_ = 022;
};

}  // namespace kivtest

#endif

// SPDX-License-Identifier: Zlib
// The temporary-name service: where names go, how they are numbered, and
// that an exclusive creation never opens a name that is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "internal_fixtures.h"
#include "tempname.h"

namespace {

using kivsubst::platform::Creation;
using kivsubst::platform::Directory;
using kivsubst::platform::File;
using kivtest::native;
using kivtest::narrow;
using kivtest::TempName;
namespace tempname = kivsubst::tempname;

TEST_F(TempName, PrefersTmpThenTheFilesDirectoryThenTheRoot) {
    const std::string root = kivtest::root_directory();
    auto chosen = [](const std::string& preferred) {
        return narrow(tempname::choose_directory(native(preferred)).directory);
    };
    kivtest::set_environment("TMP", path("tmp"));
    EXPECT_EQ(chosen(path("home/")), path("tmp"));
    EXPECT_FALSE(tempname::choose_directory(native(path("home/"))).is_files_own);

    kivtest::set_environment("TMP", "\"" + path("tmp") + "\"");
    EXPECT_EQ(chosen(path("home/")), path("tmp"));

    kivtest::set_environment("TMP", path("missing"));
    EXPECT_EQ(chosen(path("home/")), path("home/"));

    kivtest::unset_environment("TMP");
    EXPECT_EQ(chosen(path("home/")), path("home/"));
    EXPECT_TRUE(tempname::choose_directory(native(path("home/"))).is_files_own);
    EXPECT_EQ(chosen(""), root);
    EXPECT_EQ(chosen(path("missing/")), root);
}

TEST_F(TempName, NumbersRiseAndSkipNamesThatAreTaken) {
    const std::string directory = path("tmp");
    Directory opened = Directory::open(native(directory));
    ASSERT_TRUE(opened.is_open());
    std::optional<kivsubst::Path> first = tempname::next_free_name(opened);
    ASSERT_TRUE(first);
    long number = number_of(*first);

    // The next two names are taken: a file and a dangling symbolic link.
    kivtest::write_file(directory + "/KIV" + std::to_string((number + 1) % 100000), "taken");
    const std::string dangling = directory + "/KIV" + std::to_string((number + 2) % 100000);
    if (!kivtest::symbolic_link(path("nowhere"), dangling)) {
        kivtest::write_file(dangling, "taken");  // no links here: a file takes the name
    }
    std::optional<kivsubst::Path> next = tempname::next_free_name(opened);
    ASSERT_TRUE(next);
    EXPECT_EQ(number_of(*next), (number + 3) % 100000);
    EXPECT_EQ(narrow(opened.path_of(*next)), directory + "/" + narrow(*next));
}

// Calls on sixteen threads at once take their numbers from the one
// sequence: no number is given twice in a turn of the cycle.
TEST_F(TempName, ThreadsAtOnceNeverGetTheSameNumber) {
    constexpr int threads = 16;
    constexpr int names_each = 1000;
    Directory opened = Directory::open(native(path("tmp")));
    ASSERT_TRUE(opened.is_open());
    std::vector<std::vector<long>> numbers(threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> running;
    for (auto& taken : numbers) {
        running.emplace_back([&] {
            ++ready;
            while (ready.load() < threads) {
                std::this_thread::yield();
            }
            for (int count = 0; count < names_each; ++count) {
                std::optional<kivsubst::Path> name = tempname::next_free_name(opened);
                taken.push_back(name ? number_of(*name) : -1);
            }
        });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    std::set<long> distinct;
    for (const auto& taken : numbers) {
        distinct.insert(taken.begin(), taken.end());
    }
    EXPECT_EQ(distinct.count(-1), 0u) << "a call got no name in an empty directory";
    EXPECT_EQ(distinct.size(), std::size_t{threads} * names_each) << "a number was given twice";
}

// A "directory" that is a regular file cannot hold names: checking them
// fails for a reason other than access, so the first name is given at once
// and its creation fails, instead of a full circle of checks.
TEST_F(TempName, GivesANameAtOnceWhereNamesCannotBeChecked) {
    kivtest::write_file(path("plain"), "");
    Directory plain = Directory::open(native(path("plain")));
    std::optional<kivsubst::Path> name = tempname::next_free_name(plain);
    ASSERT_TRUE(name);
    Creation outcome = Creation::created;
    EXPECT_FALSE(plain.create_new(*name, outcome).is_open());
    EXPECT_EQ(outcome, Creation::failed);
}

TEST_F(TempName, CreationNeverFollowsALinkPlantedAtTheName) {
    kivtest::write_file(path("victim"), "precious");
    if (!kivtest::symbolic_link(path("victim"), path("tmp/KIV7"))) {
        GTEST_SKIP() << "this system refused to make a symbolic link";
    }
    Creation outcome = Creation::created;
    File file = File::create_new(native(path("tmp/KIV7")), outcome);
    EXPECT_EQ(outcome, Creation::name_taken);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(kivtest::read_file(path("victim")), "precious");
}

}  // namespace

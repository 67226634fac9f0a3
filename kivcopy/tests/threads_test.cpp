// SPDX-License-Identifier: Zlib
// Calls on several threads of one process at once, on every system: each
// copy and each install must move its own source's bytes alone, whatever
// the others move meanwhile. The sources are larger than the block buffer,
// so that each call fills it more than once. On Linux the kernel's ways are
// refused, so that every byte passes through the process as it does on
// Windows, and each read is cut to 512 bytes, so that a block gathers over
// many reads while the other calls gather theirs.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "data.h"
#include "kivcopy.h"
#include "kivtest/files.h"
#if !defined(_WIN32)
#include "kivtest/faults.h"
#endif

namespace {

constexpr int threads = 16;

// Runs `call(number)` for each of the numbers on a thread of its own, all
// released at once, and gives back each call's result.
template <typename Call>
std::vector<int> at_once(Call call) {
    std::vector<int> results(threads, 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> running;
    for (int number = 0; number < threads; ++number) {
        running.emplace_back([&, number] {
            ++ready;
            while (ready.load() < threads) {
                std::this_thread::yield();
            }
            results[static_cast<std::size_t>(number)] = call(number);
        });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    return results;
}

class Threads : public kivtest::WorkDirTest {
protected:
    // Writes one source for each thread, four blocks and some bytes long,
    // each with bytes of its own.
    void make_sources() {
        for (int number = 0; number < threads; ++number) {
            const std::size_t size = 4 * kivcopy::block_size + 4097 * static_cast<std::size_t>(number);
            sources_.push_back(kivtest::pattern_bytes(size, static_cast<unsigned>(number) + 1));
            kivtest::write_file(source(number), sources_.back());
        }
    }
    std::string source(int number) const { return path("source" + std::to_string(number)); }
    std::string target(int number) const { return path("target" + std::to_string(number)); }

    std::vector<std::string> sources_;
#if !defined(_WIN32)
    kivtest::CallHook no_kernel_copy_{kivtest::HookedCall::copy_file_range, {1, 0, ENOSYS, 0}};
    kivtest::CallHook no_sharing_{kivtest::HookedCall::clone, {1, 0, EOPNOTSUPP, 0}};
    kivtest::CallHook page_reads_{kivtest::HookedCall::read, {0, 0, 0, 512}};
#endif
};

// Sixteen copies at once, each from its own source to its own target.
TEST_F(Threads, CopiesEachSourceWholeWhileOthersCopy) {
    make_sources();
    const std::vector<int> results = at_once([&](int number) {
        return KivCopyFile(source(number).c_str(), target(number).c_str(), 0);
    });
    for (int number = 0; number < threads; ++number) {
        SCOPED_TRACE("copy " + std::to_string(number));
        EXPECT_EQ(results[static_cast<std::size_t>(number)], KIVCOPY_OK);
        EXPECT_TRUE(kivtest::read_file(target(number)) == sources_[static_cast<std::size_t>(number)])
            << "the copy holds bytes that are not its source's";
    }
}

// Sixteen installs at once: half each onto a target of its own, half onto
// one shared target, which ends as exactly the source of one call that
// reported 0. On Windows a rename onto a name that another call holds open
// for a moment is refused: such a call may fail instead (-5010, or -5032
// where the target looked in use), and then leaves nothing behind.
TEST_F(Threads, InstallsEachSourceWholeWhileOthersInstall) {
    make_sources();
    kivtest::write_file(path("shared"), "old");
    const int own = threads / 2;
    const std::vector<int> results = at_once([&](int number) {
        const std::string onto = number < own ? target(number) : path("shared");
        return KivInstallFile(source(number).c_str(), onto.c_str(), KIVINSTALL_REPLACE);
    });
    for (int number = 0; number < own; ++number) {
        SCOPED_TRACE("install " + std::to_string(number));
        EXPECT_EQ(results[static_cast<std::size_t>(number)], KIVCOPY_OK);
        EXPECT_TRUE(kivtest::read_file(target(number)) ==
                    sources_[static_cast<std::size_t>(number)])
            << "the installed file holds bytes that are not its source's";
    }
    const std::string shared = kivtest::read_file(path("shared"));
    int matching = 0;
    for (int number = own; number < threads; ++number) {
        const int result = results[static_cast<std::size_t>(number)];
        EXPECT_TRUE(result == KIVCOPY_OK || result == KIVCOPY_TARGET_NOT_WRITTEN ||
                    result == KIVINSTALL_IN_USE)
            << "install " << number << " gave " << result;
        if (shared == sources_[static_cast<std::size_t>(number)]) {
            ++matching;
            EXPECT_EQ(result, KIVCOPY_OK) << "the shared target holds a failed install's file";
        }
    }
    std::string outcome;
    for (int number = own; number < threads; ++number) {
        outcome += " " + std::to_string(results[static_cast<std::size_t>(number)]);
    }
    EXPECT_EQ(matching, 1) << "the shared target is none of the sources installed onto it ("
                           << shared.size() << " bytes" << (shared == "old" ? ", still old" : "")
                           << "; results" << outcome << ")";
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
        static_cast<void>(entry);
        ++entries;
    }
    EXPECT_EQ(entries, static_cast<std::size_t>(threads + own + 1))
        << "a staged or aside file was left beside the targets";
}

}  // namespace

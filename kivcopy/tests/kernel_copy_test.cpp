// SPDX-License-Identifier: Zlib
// Linux only. Copies whose data the kernel moves: blocks shared with the
// source (FICLONERANGE) or copied from file to file (copy_file_range). Each
// must leave exactly what the block loop leaves, and a kernel call that
// fails part-way hands the rest of its run to the block loop, which tells a
// source that cannot be read from a target that cannot be written.
// The call hook refuses the kernel's ways to get the block loop's copy, and
// counts what each way moved, so that every comparison is known to compare
// two different paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "data.h"
#include "kivcopy.h"
#include "platform.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/system.h"

namespace {

using kivtest::CallHook;
using kivtest::HookedCall;
using kivtest::read_file;

constexpr long long kib = 1024;
constexpr long long mib = 1024 * kib;
using Pieces = std::vector<std::pair<long long, std::size_t>>;

// What one copy moved through each path.
struct Moved {
    int result = 0;
    unsigned copy_calls = 0;
    std::uint64_t copied_in_kernel = 0;  // by copy_file_range
    std::uint64_t read_by_process = 0;   // by read, into the block loop
    std::uint64_t shared = 0;            // by FICLONERANGE
};

class KernelCopy : public kivtest::WorkDirTest {
protected:
    // A source of `size` bytes holding `pieces` (offset, length) of pattern
    // bytes and holes elsewhere; gives back the bytes it reads as.
    std::string make_source(const std::string& name, long long size, const Pieces& pieces) {
        kivtest::write_file(path(name), "");
        EXPECT_EQ(::truncate(path(name).c_str(), size), 0);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        unsigned seed = 1;
        for (const auto& [offset, length] : pieces) {
            const std::string piece = kivtest::pattern_bytes(length, seed++);
            kivtest::write_at(path(name), offset, piece);
            bytes.replace(static_cast<std::size_t>(offset), length, piece);
        }
        return bytes;
    }

    long long allocated(const std::string& name) const {
        return kivtest::status_of(path(name)).st_blocks * 512LL;
    }

    // Copies with `plan` for copy_file_range (and every read counted), the
    // block sharing refused unless `share` says otherwise.
    Moved copy(const std::string& source, const std::string& target, CallHook::Plan plan,
               bool share = false, CallHook::Plan reading = {}) {
        CallHook copies(HookedCall::copy_file_range, plan);
        CallHook clones(HookedCall::clone,
                        share ? CallHook::Plan{} : CallHook::Plan{1, 0, EOPNOTSUPP, 0});
        CallHook reads(HookedCall::read, reading);
        Moved moved;
        moved.result = KivCopyFile(source.c_str(), target.c_str(), 1);
        moved.copy_calls = copies.calls();
        moved.copied_in_kernel = copies.bytes();
        moved.read_by_process = reads.bytes();
        moved.shared = clones.bytes();
        return moved;
    }

    // The block loop alone, with every kernel way refused.
    Moved copy_through_blocks(const std::string& source, const std::string& target) {
        return copy(source, target, {1, 0, ENOSYS, 0});
    }
};

// Dense sources of sizes on both sides of a page (4096) and of the block
// buffer, and sources with holes whose runs start and end at those edges or
// at the end of the file.
TEST_F(KernelCopy, LeavesWhatTheBlockLoopLeaves) {
    constexpr auto buffer = static_cast<long long>(kivcopy::block_size);
    const std::pair<long long, Pieces> sources[] = {
        {0, {}},
        {1, {{0, 1}}},
        {4095, {{0, 4095}}},
        {4096, {{0, 4096}}},
        {4097, {{0, 4097}}},
        {buffer - 1, {{0, buffer - 1}}},
        {buffer, {{0, buffer}}},
        {buffer + 1, {{0, buffer + 1}}},
        {3 * buffer + 4097, {{0, 3 * buffer + 4097}}},
        {3 * mib + 700001, {{0, 5000}, {3 * mib, 700001}}},
        {8 * mib, {{4 * mib + 3, 8}}},
        {2 * mib, {{buffer - 4 * kib, 8 * kib}, {mib, buffer + 1}}},
    };
    for (const auto& [size, pieces] : sources) {
        SCOPED_TRACE("size " + std::to_string(size) + ", pieces " + std::to_string(pieces.size()));
        const std::string bytes = make_source("source", size, pieces);
        const bool sparse = allocated("source") < size;

        const Moved blocks = copy_through_blocks(path("source"), path("blocks"));
        const Moved kernel = copy(path("source"), path("kernel"), {});
        ASSERT_EQ(blocks.result, KIVCOPY_OK);
        ASSERT_EQ(kernel.result, KIVCOPY_OK);
        EXPECT_TRUE(read_file(path("blocks")) == bytes) << "the block loop's copy differs";
        EXPECT_TRUE(read_file(path("kernel")) == bytes) << "the kernel's copy differs";
        EXPECT_EQ(kivtest::file_size(path("kernel")), size);
        EXPECT_EQ(allocated("kernel"), allocated("blocks")) << "holes filled or lost";

        // Two different paths: every data byte read by the process in one,
        // none in the other.
        long long data = 0;
        for (const auto& piece : pieces) {
            data += static_cast<long long>(piece.second);
        }
        EXPECT_GE(blocks.read_by_process, static_cast<std::uint64_t>(data));
        EXPECT_EQ(blocks.copied_in_kernel, 0u);
        EXPECT_EQ(kernel.read_by_process, 0u);
        if (!sparse) {
            EXPECT_EQ(kernel.copied_in_kernel, static_cast<std::uint64_t>(size));
        } else {
            EXPECT_GE(kernel.copied_in_kernel, static_cast<std::uint64_t>(data));
        }
        std::remove(path("blocks").c_str());
        std::remove(path("kernel").c_str());
    }
}

// copy_file_range moves 100,000 bytes a call here and fails at the call
// given, with an error that says it cannot copy here or one that says it
// failed: either way the block loop reads the rest of the run from exactly
// where the kernel stopped, and the copy is whole.
TEST_F(KernelCopy, GoesOnInTheBlockLoopFromWhereTheKernelStopped) {
    constexpr std::size_t step = 100000;
    const long long size = mib + 12345;
    const std::string bytes = make_source("source", size, {{0, static_cast<std::size_t>(size)}});
    const unsigned last_call = static_cast<unsigned>((size + step - 1) / step);
    for (int error : {EXDEV, EINVAL, ENOSYS, EOPNOTSUPP, EBADF, EIO, ENOSPC}) {
        for (unsigned failing : {1u, 2u, 6u, last_call}) {
            SCOPED_TRACE("error " + std::to_string(error) + " at call " + std::to_string(failing));
            const Moved moved = copy(path("source"), path("target"), {failing, 1, error, step});
            ASSERT_EQ(moved.result, KIVCOPY_OK);
            EXPECT_TRUE(read_file(path("target")) == bytes);
            EXPECT_EQ(moved.copy_calls, failing) << "the kernel was asked again after it failed";
            EXPECT_EQ(moved.copied_in_kernel, (failing - 1) * std::uint64_t{step});
            EXPECT_EQ(moved.read_by_process, static_cast<std::uint64_t>(size) - moved.copied_in_kernel);
        }
    }

    // With holes: the first run goes whole through the kernel, the second
    // fails in its second call; its rest, and every later run, go through
    // the block loop, and the holes stay.
    const std::string sparse = make_source("sparse", 3 * mib + 700001, {{0, 5000}, {3 * mib, 700001}});
    if (allocated("sparse") >= 3 * mib) {
        GTEST_SKIP() << "the work directory's file system keeps no holes";
    }
    const Moved blocks = copy_through_blocks(path("sparse"), path("blocks"));
    ASSERT_EQ(blocks.result, KIVCOPY_OK);
    const Moved moved = copy(path("sparse"), path("target"), {5, 1, EIO, 3000});
    ASSERT_EQ(moved.result, KIVCOPY_OK);
    EXPECT_TRUE(read_file(path("target")) == sparse);
    EXPECT_EQ(allocated("target"), allocated("blocks"));
    EXPECT_EQ(moved.copy_calls, 5u);
    EXPECT_EQ(moved.read_by_process, 700001u - 3000u);
}

// After the kernel stops, a source that cannot be read is still told as
// such (-5011) and a target that cannot be written as such (-5010), and
// the target keeps what was copied before: what the kernel moved, and no
// more room than that (the room reserved for the whole run is given back).
TEST_F(KernelCopy, TellsTheFailingSideApartAfterTheKernelStopped) {
    constexpr std::size_t step = 100000;
    const long long size = mib + 12345;
    const std::string bytes = make_source("source", size, {{0, static_cast<std::size_t>(size)}});
    const Moved unread =
        copy(path("source"), path("target"), {3, 0, EIO, step}, false, {1, 0, EIO, 0});
    EXPECT_EQ(unread.result, KIVCOPY_SOURCE_NOT_READ);
    EXPECT_EQ(unread.copied_in_kernel, 2 * step);
    EXPECT_TRUE(read_file(path("target")) == bytes.substr(0, 2 * step));
    EXPECT_LT(allocated("target"), 2 * static_cast<long long>(step) + 64 * kib)
        << "room reserved past the copy's end was kept";

    // A real full disk, met by the kernel's copy: source and target share
    // one small file system, which fills part-way through the copy.
    kivtest::TmpfsMount small(path("small"), 2 * mib);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    const std::string source = path("small/source");
    kivtest::write_file(source, bytes);
    kivtest::fill_file_system(path("small"), 300 * kib);
    const Moved unwritten = copy(source, path("small/target"), {});
    EXPECT_EQ(unwritten.result, KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_GT(unwritten.copied_in_kernel, 0u) << "the kernel's copy never ran";
    EXPECT_LT(unwritten.copied_in_kernel, static_cast<std::uint64_t>(size));
    EXPECT_GT(unwritten.copy_calls, 1u) << "the disk did not fill during the kernel's copy";
    EXPECT_TRUE(read_file(source) == bytes) << "the source changed";
}

// On a file system that shares blocks, the copy shares the source's: it
// takes (almost) no room, reads as the source, holes included, and stays a
// file of its own: writing to it leaves the source alone.
TEST_F(KernelCopy, SharesTheSourcesBlocksWhereTheFileSystemCan) {
    kivtest::ImageMount btrfs(path("btrfs.img"), path("btrfs"), "btrfs", 256 * mib);
    if (!btrfs.ok()) {
        GTEST_SKIP() << btrfs.error();
    }
    const std::pair<long long, Pieces> sources[] = {
        {16 * mib + 123, {{0, static_cast<std::size_t>(16 * mib + 123)}}},
        {24 * mib, {{0, 5000}, {8 * mib, 8 * mib}, {20 * mib, 3}}},
    };
    for (const auto& [size, pieces] : sources) {
        SCOPED_TRACE(pieces.size());
        const std::string bytes = make_source("btrfs/source", size, pieces);
        const long long before = btrfs.used_bytes();
        const Moved moved = copy(path("btrfs/source"), path("btrfs/copy"), {}, true);
        ASSERT_EQ(moved.result, KIVCOPY_OK);
        const long long growth = btrfs.used_bytes() - before;
        EXPECT_TRUE(read_file(path("btrfs/copy")) == bytes);
        EXPECT_EQ(kivtest::file_size(path("btrfs/copy")), size);
        EXPECT_GT(moved.shared, 0u) << "no range was shared";
        EXPECT_EQ(moved.copy_calls, 0u);
        EXPECT_EQ(moved.read_by_process, 0u);
        EXPECT_LT(growth, mib) << "the copy took room of its own";
        EXPECT_LE(allocated("btrfs/copy"), allocated("btrfs/source"));

        kivtest::write_at(path("btrfs/copy"), 0, "changed");
        EXPECT_TRUE(read_file(path("btrfs/source")) == bytes) << "the source changed with its copy";

        // With sharing refused, the same bytes come by the other ways.
        const Moved unshared = copy(path("btrfs/source"), path("btrfs/unshared"), {});
        ASSERT_EQ(unshared.result, KIVCOPY_OK);
        EXPECT_TRUE(read_file(path("btrfs/unshared")) == bytes);
        std::remove(path("btrfs/copy").c_str());
        std::remove(path("btrfs/unshared").c_str());
    }
}

}  // namespace

// Linux only. Substitutions that meet real faults and hostile input: full
// disks during the scan and the write-back, a file that cannot be written,
// temporary files that cannot be named or created, links planted at the next
// names, FIFOs and devices, concurrent calls, odd paths, huge patterns, sizes
// past 4 GiB and memory that runs out; the file's identity, set-ID bits and
// capabilities kept; and files and directories swapped during a call.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "kivtest/faults.h"
#include "reference.h"
#include "subst_fixture.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::write_file;

class SubstFault : public kivtest::SubstTest {
protected:
    // A file whose substitution grows it by half.
    static std::string growing_input() {
        std::string input;
        for (int i = 0; i < 20000; ++i) {
            input += "key=" + std::to_string(i) + ";";
        }
        return input;
    }
    static std::string grown(const std::string& input) {
        return kivtest::reference_substitution(input, "=", "===").output;
    }

    // A 1 MiB tmpfs at small/ that holds `input` as small/file and has no
    // room left; the caller skips the test when the mount is refused.
    std::unique_ptr<kivtest::TmpfsMount> full_disk_holding(const std::string& input) {
        auto small = std::make_unique<kivtest::TmpfsMount>(path("small"), 1024 * 1024);
        if (small->ok()) {
            write_file(path("small/file"), input);
            kivtest::fill_file_system(path("small"));
        }
        return small;
    }

    // The name of the one temporary file left in TMP.
    std::string kept_temporary() {
        std::vector<std::string> names = entries(path("tmp"));
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? std::string() : path("tmp/" + names.front());
    }
};

TEST_F(SubstFault, LeavesTheFileAloneWhenTheTemporaryFileCannotBeWrittenInFull) {
    kivtest::TmpfsMount small(path("tmp"), 64 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    std::string filler = kivtest::fill_file_system(path("tmp"));
    const std::string input = growing_input();
    write_file(path("file"), input);

    Call made = replace(path("file"), "=", "===");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("file")), input);
    EXPECT_EQ(entries(path("tmp")), std::vector<std::string>{"filler"});
}

TEST_F(SubstFault, FindsAFullDiskBeforeOverwritingTheFileAndKeepsTheResult) {
    const std::string input = growing_input();
    auto small = full_disk_holding(input);
    if (!small->ok()) {
        GTEST_SKIP() << small->error();
    }

    Call made = replace(path("small/file"), "=", "===");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("small/file")), input);
    EXPECT_EQ(read_file(kept_temporary()), grown(input));
}

TEST_F(SubstFault, ShrinksAFileOnAFullDisk) {
    const std::string input = growing_input();
    auto small = full_disk_holding(input);
    if (!small->ok()) {
        GTEST_SKIP() << small->error();
    }

    EXPECT_EQ(replace(path("small/file"), "key=", "k").result, 0);
    EXPECT_EQ(read_file(path("small/file")), kivtest::reference_substitution(input, "key=", "k").output);
    EXPECT_TRUE(entries(path("tmp")).empty());
}

TEST_F(SubstFault, KeepsTheResultWhenTheFileCannotBeOverwritten) {
    write_file(path("file"), "old text");
    kivtest::UnwritableFile read_only(path("file"));
    if (!read_only.ok()) {
        GTEST_SKIP() << read_only.error();
    }
    Call made = replace(path("file"), "old", "new");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("file")), "old text");
    EXPECT_EQ(read_file(kept_temporary()), "new text");
}

TEST_F(SubstFault, WritesBackAcrossFileSystems) {
    kivtest::TmpfsMount other(path("tmp"), 16 * 1024 * 1024);
    if (!other.ok()) {
        GTEST_SKIP() << other.error();
    }
    const std::string input = growing_input();
    write_file(path("file"), input);
    EXPECT_EQ(replace(path("file"), "=", "===").result, 0);
    EXPECT_EQ(read_file(path("file")), grown(input));
    EXPECT_TRUE(entries(path("tmp")).empty());
}

TEST_F(SubstFault, RefusesPathsThatAreNotRegularFiles) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    // A FIFO without a writer must not hold up the call.
    for (const std::string& special : {path("fifo"), std::string("/dev/null")}) {
        Call made = replace(special, "a", "b");
        EXPECT_EQ(made.result, KIVSUBST_CANNOT_OPEN);
        EXPECT_EQ(made.printed, "Cannot open " + special + "; rc=3\n");
    }
    EXPECT_TRUE(entries(path("tmp")).empty());
}

TEST_F(SubstFault, KeepsTheFilesInodeAndMode) {
    write_file(path("file"), "version=1");
    ASSERT_EQ(::chmod(path("file").c_str(), 0640), 0);
    const ino_t inode = kivtest::status_of(path("file")).st_ino;
    EXPECT_EQ(replace(path("file"), "1", "2").result, 0);
    struct stat status = kivtest::status_of(path("file"));
    EXPECT_EQ(status.st_ino, inode);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A write by a caller without the privilege clears the set-user-ID and
// set-group-ID bits; the owner patching its own program puts them back.
TEST_F(SubstFault, KeepsTheSetIdBitsOfAnOwnerPatchingItsOwnFile) {
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0777), 0);
    std::string why_not;
    int result = kivtest::run_as_nobody(
        [&] {
            write_file(path("tool"), "version=1");
            if (::chmod(path("tool").c_str(), 04755) != 0) {
                return 99;
            }
            return replace(path("tool"), "1", "2").result;
        },
        why_not);
    if (result < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(path("tool")), "version=2");
    EXPECT_EQ(kivtest::status_of(path("tool")).st_mode & 07777, 04755u);
}

// Every write drops a file's capabilities; root patching the file puts
// them back.
TEST_F(SubstFault, KeepsTheFileCapabilitiesWhenRootPatches) {
    write_file(path("server"), "version=1");
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
    const char* attribute = "security.capability";
    if (::setxattr(path("server").c_str(), attribute, &capability, sizeof capability, 0) != 0) {
        GTEST_SKIP() << "this file system or user cannot give a file capabilities: "
                     << std::strerror(errno);
    }
    EXPECT_EQ(replace(path("server"), "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_EQ(read_file(path("server")), "version=2");
    vfs_cap_data kept{};
    EXPECT_EQ(::getxattr(path("server").c_str(), attribute, &kept, sizeof kept),
              static_cast<ssize_t>(sizeof kept));
    EXPECT_EQ(std::memcmp(&kept, &capability, sizeof kept), 0);
}

// The moment the call creates its temporary file: after the file was opened
// and its temporary directory chosen, before anything is written back.
bool creates_the_temporary_file(const std::string& opened, int flags) {
    return (flags & O_EXCL) != 0 && opened.find("KIV") != std::string::npos;
}

// Between the scan and the write-back, someone moves the file away and
// puts a link to another file in its place. The write-back must not write
// through the name into that other file.
TEST_F(SubstFault, NeverWritesBackIntoAFileSwappedInDuringTheCall) {
    write_file(path("file"), "version=1");
    write_file(path("other"), "precious");
    kivtest::OpenHook swap(
        creates_the_temporary_file,
        [&] {
            ASSERT_EQ(::rename(path("file").c_str(), path("moved").c_str()), 0);
            ASSERT_EQ(::symlink(path("other").c_str(), path("file").c_str()), 0);
        });
    Call made = replace(path("file"), "1", "2");
    EXPECT_TRUE(swap.fired());
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(read_file(path("other")), "precious");
    EXPECT_EQ(read_file(path("moved")), "version=1");
    // The result waits in the kept temporary file.
    std::vector<std::string> kept = entries(path("tmp"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(path("tmp/" + kept[0])), "version=2");
}

// With TMP unset the temporary file goes beside the file. Someone who may
// rename entries beside that directory swaps it for a link to a directory
// they may not write, hoping that the privileged call creates (and leaves)
// its temporary file there. The call works in the directory it opened.
TEST_F(SubstFault, KeepsTheTemporaryFileInTheDirectoryItOpened) {
    kivtest::make_directory(path("shared"));
    kivtest::make_directory(path("protected"));
    write_file(path("shared/file"), "version=1");
    kivtest::OpenHook swap(
        creates_the_temporary_file,
        [&] {
            ASSERT_EQ(::rename(path("shared").c_str(), path("shared.old").c_str()), 0);
            ASSERT_EQ(::symlink(path("protected").c_str(), path("shared").c_str()), 0);
        });
    Call made = replace_with_tmp(std::nullopt, path("shared/file"), "1", "2");
    EXPECT_TRUE(swap.fired());
    EXPECT_EQ(made.result, KIVSUBST_REPLACED) << made.printed;
    EXPECT_TRUE(entries(path("protected")).empty());
    EXPECT_EQ(entries(path("shared.old")), std::vector<std::string>{"file"});
    EXPECT_EQ(read_file(path("shared.old/file")), "version=2");
}

// Names are skipped only when they exist or their check is refused: with
// TMP naming a directory that another user may not search, every name is
// refused and none can be made.
TEST_F(SubstFault, ReportsThatNoTemporaryNameCanBeMade) {
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0700), 0);
    write_file(path("file"), "abc");
    ASSERT_EQ(::chmod(path("file").c_str(), 0666), 0);
    std::string why_not;
    int result =
        kivtest::run_as_nobody([&] { return replace(path("file"), "b", "x").result; }, why_not);
    if (result < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(result, KIVSUBST_NO_TEMP_NAME);
    EXPECT_EQ(read_file(path("file")), "abc");
}

// TMP naming a regular file: no name under it can be checked, but nor is
// any refused, so the first name is used, and creating it fails at once.
TEST_F(SubstFault, ReportsATemporaryDirectoryThatIsAFileAtOnce) {
    write_file(path("plain"), "");
    kivtest::set_environment("TMP", path("plain"));
    write_file(path("file"), "abc");
    Call made = replace(path("file"), "b", "x");
    EXPECT_EQ(made.result, KIVSUBST_NO_TEMP_FILE);
    EXPECT_TRUE(std::regex_match(made.printed, std::regex("Cannot open temporary file " +
                                                          path("plain") + "/KIV[0-9]{1,5}; rc=4\n")))
        << made.printed;
    EXPECT_EQ(read_file(path("file")), "abc");
}

// A directory that may be written and searched but not read (0733) cannot
// be synced through a descriptor of its own; the call makes the new name
// durable another way and succeeds, whether it is TMP or the file's own.
TEST_F(SubstFault, SucceedsInATemporaryDirectoryThatCannotBeRead) {
    kivtest::make_directory(path("drop"));
    ASSERT_EQ(::chmod(path("drop").c_str(), 0733), 0);
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0733), 0);
    write_file(path("drop/file"), "version=1");
    ASSERT_EQ(::chmod(path("drop/file").c_str(), 0666), 0);
    for (bool tmp_set : {true, false}) {
        SCOPED_TRACE(tmp_set ? "TMP" : "the file's own directory");
        std::string why_not;
        int result = kivtest::run_as_nobody(
            [&] {
                if (!tmp_set) {
                    kivtest::unset_environment("TMP");
                }
                return replace(path("drop/file"), "version", "v").result;
            },
            why_not);
        if (result < 0) {
            GTEST_SKIP() << why_not;
        }
        EXPECT_EQ(result, tmp_set ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND);
        EXPECT_EQ(read_file(path("drop/file")), "v=1");
        EXPECT_EQ(entries(path("drop")), std::vector<std::string>{"file"});
        EXPECT_TRUE(entries(path("tmp")).empty());
    }
}

TEST_F(SubstFault, ReportsATemporaryFileThatCannotBeCreatedAndNamesIt) {
    kivtest::UnwritableFile locked(path("tmp"));
    if (!locked.ok()) {
        GTEST_SKIP() << locked.error();
    }
    write_file(path("file"), "abc");
    Call made = replace(path("file"), "b", "x");
    EXPECT_EQ(made.result, KIVSUBST_NO_TEMP_FILE);
    EXPECT_TRUE(std::regex_match(made.printed,
                                 std::regex("Cannot open temporary file " + path("tmp") +
                                            "/KIV[0-9]{1,5}; rc=4\n")))
        << made.printed;
    EXPECT_EQ(read_file(path("file")), "abc");
}

// Someone who can write to a shared TMP plants links and files at every
// name the service may pick next, hoping that a privileged call writes
// through one of them.
TEST_F(SubstFault, NeverUsesLinksOrFilesPlantedAtTheNextNames) {
    // Learn the number of the last name made from a call that must name it.
    long last = 0;
    {
        kivtest::UnwritableFile locked(path("tmp"));
        if (!locked.ok()) {
            GTEST_SKIP() << locked.error();
        }
        write_file(path("file"), "abc");
        std::smatch number;
        std::string printed = replace(path("file"), "b", "x").printed;
        ASSERT_TRUE(std::regex_search(printed, number, std::regex("KIV([0-9]+)")));
        last = std::stol(number[1]);
    }
    write_file(path("victim"), "precious");
    const int planted = 500;
    for (int i = 1; i <= planted; ++i) {
        const std::string name = path("tmp/KIV" + std::to_string((last + i) % 100000));
        if (i % 2 == 0) {
            write_file(name, "planted");
        } else {
            ASSERT_EQ(::symlink(path("victim").c_str(), name.c_str()), 0);
        }
    }

    EXPECT_EQ(replace(path("file"), "b", "x").result, 0);
    EXPECT_EQ(read_file(path("file")), "axc");
    EXPECT_EQ(read_file(path("victim")), "precious");
    EXPECT_EQ(read_file(path("tmp/KIV" + std::to_string((last + 2) % 100000))), "planted");
    EXPECT_EQ(entries(path("tmp")).size(), static_cast<std::size_t>(planted))
        << "only the planted names are left";
}

// Processes that patch their own files at the same moment, through one TMP,
// race for the same temporary names; exclusive creation gives each its own.
TEST_F(SubstFault, ConcurrentCallsNeverShareATemporaryFile) {
    const int processes = 6;
    const std::string input = growing_input();
    for (int i = 0; i < processes; ++i) {
        write_file(path("file" + std::to_string(i)), input);
    }
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char go;
            ::close(start[1]);
            ssize_t ignored = ::read(start[0], &go, 1);  // returns when the parent closes its end
            (void)ignored;
            std::string file = path("file" + std::to_string(i));
            ::_exit(replaceString(file.c_str(), "=", 1, "===", 3));
        }
        children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == KIVSUBST_REPLACED);
    }
    for (int i = 0; i < processes; ++i) {
        EXPECT_EQ(read_file(path("file" + std::to_string(i))), grown(input)) << i;
    }
    EXPECT_TRUE(entries(path("tmp")).empty());
}

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

// A pattern of 1 MiB, as long as the library's read block, found twice:
// once across the block's edge.
TEST_F(SubstFault, ReplacesAOneMebibytePattern) {
    std::string pattern(1 << 20, 'p');
    for (std::size_t i = 0; i < pattern.size(); i += 4099) {
        pattern[i] = 'q';
    }
    std::string input = std::string(1000, 'x') + pattern + std::string(70000, 'y') + pattern + "z";
    write_file(path("file"), input);
    EXPECT_EQ(replace(path("file"), pattern, "R").result, 0);
    EXPECT_EQ(read_file(path("file")), std::string(1000, 'x') + "R" + std::string(70000, 'y') + "Rz");
}

// Lengths are 64-bit: a file past 4 GiB is scanned and written back whole,
// with an occurrence across the 4 GiB mark replaced. The file starts sparse
// and lives in memory, so the test costs no disk.
TEST_F(SubstFault, PatchesAFileLargerThanFourGiB) {
    const long long four_gib = 4LL * 1024 * 1024 * 1024;
    kivtest::TmpfsMount memory(path("mem"), 10ull << 30);
    if (!memory.ok()) {
        GTEST_SKIP() << memory.error();
    }
    kivtest::set_environment("TMP", memory.directory());
    const std::string file = memory.directory() + "/file";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(::pwrite(fd, "mark", 4, four_gib - 2), 4);
    ASSERT_EQ(::pwrite(fd, "tail", 4, four_gib + 100), 4);
    ::close(fd);

    Call made = replace(file, "mark", "MARKED");
    ASSERT_EQ(made.result, 0) << made.printed;
    ASSERT_EQ(kivtest::file_size(file), four_gib + 106);
    fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char seen[6];
    EXPECT_EQ(::pread(fd, seen, 4, 0), 4);
    EXPECT_EQ(std::string(seen, 4), "head");
    EXPECT_EQ(::pread(fd, seen, 6, four_gib - 2), 6);
    EXPECT_EQ(std::string(seen, 6), "MARKED");
    EXPECT_EQ(::pread(fd, seen, 4, four_gib + 102), 4);
    EXPECT_EQ(std::string(seen, 4), "tail");
    ::close(fd);
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

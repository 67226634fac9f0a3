// SPDX-License-Identifier: Zlib
// A second power-loss oracle for transactions, one that shares nothing with
// the explorer's model of what a power cut leaves: LazyFS, a FUSE file
// system with a page cache of its own, keeps every byte written through it
// until a sync hands it to the disk below, and drops all that it keeps when
// told to (clear-cache), as a power cut would.
//
// Each seeded run sets a batch's old state up through the mount and syncs
// it, runs the driver's transaction to its end or kills it at a call the
// seed picks (the killpoint library), drops the cache, mounts LazyFS anew
// and recovers through it. Then every target must be old or every target
// new (new after a transaction that returned 0), nothing of the
// transaction may be left beside the targets or in the journal folder, the
// outcome must survive a second drop of the cache, and a second recovery
// must change nothing.
//
// LazyFS passes names (create, rename, unlink) straight to the file system
// below it, so a directory sync that goes missing is not seen here; the
// explorer (powerloss_transaction_test.cpp) judges those. What LazyFS
// decides on its own is a file's data: bytes that were not synced are gone.
//
// It needs root, /dev/fuse, fusermount3, a loop device and LazyFS, built
// once into the build tree from the source archive in
// ../shared/third_party/lazyfs; without one of them it skips and says
// which. KIV_LAZYFS names a LazyFS
// program to use instead. KIV_LAZYFS_SKIP_SYNC=CALL[:N] takes that sync out
// of every transaction (the killpoint library's KIV_SKIP_SYNC), to watch
// the oracle fail. KIV_LAZYFS_RENUMBER mounts LazyFS as a plain FUSE file
// system and has tmpfs mounts take its device number at each power cut,
// so that it comes back under another one, as a file system may after a
// reboot: recovery, which knows folders by device and inode, refuses
// every journal it then finds.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "kivtest/reference.h"
#include "kivtest/system.h"

namespace {

constexpr std::size_t one_block = 4096;
constexpr std::size_t multi_block = 3 * 4096 + 100;

// Longest wait for LazyFS to mount, to unmount or to answer a command:
// far beyond what any of them takes, a bound against a hang.
constexpr int patience_ms = 30000;

// What the members are: installs, text patches of existing targets, or
// both in turn.
enum class Members { installs, patches, mixed };
// Which targets exist before the transaction.
enum class Targets { fresh, existing, mixed };

struct Shape {
    const char* name;
    std::size_t members;
    std::size_t folders;  // the members spread over this many folders, in turn
    Members kind;
    Targets targets;
    std::size_t size;  // of each member's content (a patched one has some bytes)
    unsigned runs;
    // The transaction makes app0/made and app0/made/inner, and its members
    // are new files in them, in turn.
    bool in_made_folders = false;
};

const char* const made_folders[] = {"/app0/made", "/app0/made/inner"};

constexpr Shape shapes[] = {
    {"OneNewEmptyFile", 1, 1, Members::installs, Targets::fresh, 0, 20},
    {"OneOneBlockFilePatched", 1, 1, Members::patches, Targets::existing, one_block, 20},
    {"TwoExistingOneBlockFiles", 2, 1, Members::installs, Targets::existing, one_block, 25},
    {"ThreeMultiBlockFilesMixedSomeNew", 3, 1, Members::mixed, Targets::mixed, multi_block, 30},
    {"ThreeEmptyFilesInThreeFoldersSomeNew", 3, 3, Members::installs, Targets::mixed, 0, 20},
    {"ThreeMultiBlockPatchesInThreeFolders", 3, 3, Members::patches, Targets::existing,
     multi_block, 25},
    {"FiveOneBlockFilesInThreeFoldersMixedSomeNew", 5, 3, Members::mixed, Targets::mixed,
     one_block, 30},
    {"TwentyMultiBlockFilesInThreeFoldersMixedSomeNew", 20, 3, Members::mixed, Targets::mixed,
     multi_block, 20},
    {"TwentyOneBlockFilesSomeNew", 20, 1, Members::installs, Targets::mixed, one_block, 20},
    {"TwentyOneBlockPatchesInThreeFolders", 20, 3, Members::patches, Targets::existing,
     one_block, 20},
    {"FiveOneBlockFilesInTwoFoldersItMakes", 5, 1, Members::installs, Targets::fresh, one_block,
     20, true},
};

// Together the shapes make at least two hundred runs.
constexpr unsigned all_runs() {
    unsigned runs = 0;
    for (const Shape& shape : shapes) {
        runs += shape.runs;
    }
    return runs;
}
static_assert(all_runs() >= 200, "fewer than two hundred runs");

void PrintTo(const Shape& shape, std::ostream* out) {
    *out << shape.name;
}

// The directory part of a path.
std::string parent_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// `program` found as the shell would, in the PATH; empty if it is not there.
std::string on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + program;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

// The last line of `text` that holds anything.
std::string last_line(const std::string& text) {
    std::string line;
    std::istringstream lines(text);
    for (std::string next; std::getline(lines, next);) {
        if (!next.empty()) {
            line = next;
        }
    }
    return line;
}

// The LazyFS program: the one KIV_LAZYFS names, else the one build.sh made
// (or makes now) in the build tree. The build is done once for every test
// of every process: a lock beside it makes a second process wait for the
// first, and build.sh itself finds a finished build. Empty, with `why_not`
// set, when there is none.
std::string lazyfs_program(std::string& why_not) {
    if (const char* named = std::getenv("KIV_LAZYFS"); named != nullptr) {
        if (::access(named, X_OK) != 0) {
            why_not = std::string("KIV_LAZYFS names no program that can run: '") + named + "'";
            return std::string();
        }
        return named;
    }
    static std::string built;
    static std::string failure;
    if (!built.empty() || !failure.empty()) {
        why_not = failure;
        return built;
    }
    const std::string script = std::string(KIV_LAZYFS_SOURCE) + "/build.sh";
    if (::access(script.c_str(), R_OK) != 0) {
        failure = "no LazyFS source to build: '" + script + "' is missing";
        why_not = failure;
        return std::string();
    }
    std::filesystem::create_directories(KIV_LAZYFS_OUT);
    const std::string lock_name = std::string(KIV_LAZYFS_OUT) + ".lock";
    const int lock = ::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) {
        ::flock(lock, LOCK_EX);
    }
    const kivtest::ProgramRun run = kivtest::run_program("/bin/bash", {script, KIV_LAZYFS_OUT});
    if (lock >= 0) {
        ::close(lock);
    }
    const std::string program = last_line(run.out);
    if (run.exit_status != 0 || ::access(program.c_str(), X_OK) != 0) {
        failure = "LazyFS did not build (" + std::string(KIV_LAZYFS_OUT) +
                  "/build.log): " + last_line(run.err + run.out);
        why_not = failure;
        return std::string();
    }
    built = program;
    return built;
}

// Whether this process can mount FUSE file systems; `why_not` says what is
// missing.
bool fuse_usable(std::string& why_not) {
    if (::geteuid() != 0) {
        why_not = "mounting LazyFS needs root";
    } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        why_not = std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
    } else if (on_path("fusermount3").empty()) {
        why_not = "fusermount3 is not installed (Debian's fuse3)";
    } else if (on_path("losetup").empty()) {
        why_not = "losetup is not installed (Debian's mount)";
    }
    return why_not.empty();
}

// LazyFS mounted at `mount` over the folder `root`, its configuration,
// FIFOs and log in `home`. It can be told to drop its cache and be
// mounted anew, as a machine comes back after a power cut: the same
// files below, nothing of the old process's cache.
class LazyFsMount : public kivtest::Arrangement {
public:
    LazyFsMount(std::string program, const std::string& home, std::string root,
                std::string mount, bool renumbered)
        : program_(std::move(program)), home_(home), root_(std::move(root)),
          mount_(std::move(mount)), renumbered_(renumbered) {
        const std::string commands = home + "/faults.fifo";
        const std::string answers = home + "/completed.fifo";
        std::ofstream(home + "/lazyfs.toml")
            << "[faults]\nfifo_path=\"" << commands << "\"\nfifo_path_completed=\"" << answers
            << "\"\n[cache]\napply_eviction=false\n[cache.simple]\ncustom_size=\"8mb\"\n"
            << "blocks_per_page=1\n[filesystem]\nlog_all_operations=false\nlogfile=\"\"\n";
        if (::mkfifo(commands.c_str(), 0600) != 0 || ::mkfifo(answers.c_str(), 0600) != 0) {
            error_ = std::string("cannot make LazyFS's FIFOs: ") + std::strerror(errno);
            return;
        }
        // Held open for the mount's life, read and write, so that neither
        // end ever waits for the other: LazyFS opens its answers for
        // writing as it starts, and reads commands whenever it is ready.
        commands_ = ::open(commands.c_str(), O_RDWR | O_CLOEXEC);
        answers_ = ::open(answers.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (commands_ < 0 || answers_ < 0) {
            error_ = std::string("cannot open LazyFS's FIFOs: ") + std::strerror(errno);
            return;
        }
        if (renumbered_) {
            start();
            return;
        }
        const std::string image = home + "/device.img";
        std::ofstream(image).close();
        std::filesystem::resize_file(image, 1u << 20);
        const kivtest::ProgramRun attach =
            kivtest::run_program(on_path("losetup"), {"--find", "--show", image});
        loop_ = last_line(attach.out);
        if (attach.exit_status != 0 || loop_.empty()) {
            error_ = "no loop device to mount LazyFS on: " + last_line(attach.err);
            loop_.clear();
            return;
        }
        start();
    }

    ~LazyFsMount() {
        stop();
        if (!loop_.empty()) {
            kivtest::run_program(on_path("losetup"), {"--detach", loop_});
        }
        for (const int fd : {commands_, answers_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // Drops what was not synced, as a power cut would, and comes back up
    // as a new LazyFS over what the disk below holds. False, with error()
    // set, where LazyFS did not do it, or where the new mount has another
    // device number (see start()).
    bool power_cut() {
        if (!ok()) {
            return false;
        }
        static const char command[] = "lazyfs::clear-cache\n";
        if (::write(commands_, command, sizeof command - 1) != sizeof command - 1) {
            error_ = std::string("cannot send LazyFS a command: ") + std::strerror(errno);
            return false;
        }
        std::string answer;
        while (answer.find("finished::clear-cache\n") == std::string::npos) {
            struct pollfd ready {answers_, POLLIN, 0};
            char bytes[64];
            if (::poll(&ready, 1, patience_ms) != 1) {
                error_ = "LazyFS did not answer clear-cache";
                return false;
            }
            const ssize_t got = ::read(answers_, bytes, sizeof bytes);
            if (got > 0) {
                answer.append(bytes, static_cast<std::size_t>(got));
            }
        }
        const dev_t before = device_;
        stop();
        if (!ok()) {
            return false;
        }
        // Under KIV_LAZYFS_RENUMBER, tmpfs mounts take free device numbers
        // until one has taken LazyFS's, and give them back once LazyFS is
        // up under another.
        std::vector<std::unique_ptr<kivtest::TmpfsMount>> squatters;
        while (renumbered_ && squatters.size() < 64 &&
               (squatters.empty() ||
                kivtest::status_of(squatters.back()->directory()).st_dev != before)) {
            squatters.push_back(std::make_unique<kivtest::TmpfsMount>(
                home_ + "/squatter" + std::to_string(squatters.size()), 4096));
            if (!squatters.back()->ok()) {
                error_ = squatters.back()->error();
                return false;
            }
        }
        if (!start()) {
            return false;
        }
        renumberings_ += device_ != before ? 1 : 0;
        if (device_ != before && !renumbered_) {
            error_ = "LazyFS came back as device " + std::to_string(device_) + ", not " +
                     std::to_string(before);
            return false;
        }
        return true;
    }

private:
    // Starts LazyFS in the foreground of a process of its own (no core
    // file: it aborts as it stops) and waits until its mount is there.
    // The mount is a block-device FUSE mount over a loop device of its
    // own, whose number it takes as its device number: a plain FUSE mount
    // takes whichever anonymous number is free, and another mount on the
    // machine may take its old one while it is down. The journal names
    // folders and files by device and inode, so a number that changed
    // would make recovery refuse every journal it finds.
    bool start() {
        const std::string library_path = "LD_LIBRARY_PATH=" + parent_of(program_);
        const std::string subdir = "subdir=" + root_;
        const std::string config = home_ + "/lazyfs.toml";
        const std::string log = home_ + "/lazyfs.log";
        const std::string block_device = "blkdev,fsname=" + loop_;
        std::vector<const char*> arguments = {program_.c_str(), mount_.c_str(),  "--config-path",
                                              config.c_str(),   "-o",           "modules=subdir",
                                              "-o",             subdir.c_str(), "-f"};
        if (!loop_.empty()) {
            arguments.insert(arguments.end(), {"-o", block_device.c_str()});
        }
        arguments.push_back(nullptr);
        const struct stat below = kivtest::status_of(parent_of(mount_));
        process_ = ::fork();
        if (process_ == 0) {
            const struct rlimit no_core {0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                ::dup2(out, STDOUT_FILENO);
                ::dup2(out, STDERR_FILENO);
            }
            ::putenv(const_cast<char*>(library_path.c_str()));
            ::execv(program_.c_str(), const_cast<char* const*>(arguments.data()));
            ::_exit(127);
        }
        if (process_ < 0) {
            error_ = std::string("cannot start LazyFS: ") + std::strerror(errno);
            return false;
        }
        for (int waited = 0; waited < patience_ms; waited += 10) {
            struct stat now {};
            if (::stat(mount_.c_str(), &now) == 0 && now.st_dev != below.st_dev) {
                device_ = now.st_dev;
                return true;
            }
            int status = 0;
            if (::waitpid(process_, &status, WNOHANG) == process_) {
                process_ = -1;
                error_ = "LazyFS stopped before it mounted (" + log + "): " +
                         last_line(kivtest::read_file(log));
                return false;
            }
            ::usleep(10000);
        }
        error_ = "LazyFS did not mount in " + std::to_string(patience_ms / 1000) + " s";
        return false;
    }

    // Unmounts LazyFS and waits for its process, which the unmount ends.
    void stop() {
        if (process_ <= 0) {
            return;
        }
        const kivtest::ProgramRun unmount = kivtest::run_program(on_path("fusermount3"),
                                                                 {"-u", mount_});
        if (unmount.exit_status != 0 && error_.empty()) {
            error_ = "fusermount3 -u failed: " + unmount.err;
        }
        int status = 0;
        int waited = 0;
        while (::waitpid(process_, &status, WNOHANG) != process_) {
            if (waited >= patience_ms) {
                ::kill(process_, SIGKILL);
                ::waitpid(process_, &status, 0);
                break;
            }
            ::usleep(10000);
            waited += 10;
        }
        process_ = -1;
    }

    std::string program_;
    std::string home_;
    std::string root_;
    std::string mount_;
    std::string loop_;  // the loop device that the mount names as its own
    const bool renumbered_;
    int commands_ = -1;
    int answers_ = -1;
    pid_t process_ = -1;
    dev_t device_ = 0;
    unsigned renumberings_ = 0;

public:
    // How many power cuts brought the file system back under another
    // device number.
    unsigned renumberings() const { return renumberings_; }
};

// Writes `bytes` to a new file and syncs it.
void write_durably(const std::string& path, const std::string& bytes) {
    kivtest::write_file(path, bytes);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::fsync(fd), 0) << path;
    ::close(fd);
}

void sync_directory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ::fsync(fd);
    ::close(fd);
}

// Makes a folder and syncs it and its parent.
void make_directory_durably(const std::string& path) {
    kivtest::make_directory(path);
    sync_directory(path);
    sync_directory(parent_of(path));
}

// The names in `folder`, sorted. A file removed while still open on a
// FUSE mount lives on as ".fuse_hidden..." until FUSE hears of its last
// close, which may come a moment after the closing program has ended
// (recovery removes a journal it still holds locked): such names are
// waited for, up to a few seconds, before anything is taken as left over.
std::vector<std::string> names_in(const std::string& folder) {
    const auto fuse_hidden = [](const std::string& name) {
        return name.rfind(".fuse_hidden", 0) == 0;
    };
    if (!std::filesystem::exists(folder)) {
        return {};  // a folder of the transaction's that it undid, or never made
    }
    std::vector<std::string> names = kivtest::sorted_names(folder);
    for (int wait = 0; wait < 50 && std::any_of(names.begin(), names.end(), fuse_hidden);
         ++wait) {
        ::usleep(100 * 1000);
        names = kivtest::sorted_names(folder);
    }
    return names;
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// One member of a run: where its target is, what it held and what it is
// to hold.
struct Member {
    std::string target;
    bool existed = false;
    std::string old_content;
    std::string new_content;
    std::string source;  // an install's source file, or a patch's "=OLD=NEW"
};

// Content that tells runs, members, and old from new apart. A patched
// member's lines each hold the pattern once, so that it is found whatever
// the size.
std::string content(const std::string& what, unsigned seed, std::size_t member,
                    std::size_t size) {
    const std::string line =
        what + " content of member " + std::to_string(member) + " of run " +
        std::to_string(seed) + "\n";
    std::string bytes;
    while (bytes.size() < size) {
        bytes += line;
    }
    bytes.resize(size);
    return bytes;
}

// What a run came to.
enum class Outcome { all_old, all_new, violation };

struct Tally {
    unsigned runs = 0;
    unsigned killed = 0;
    unsigned all_old = 0;
    unsigned all_new = 0;
    unsigned violations = 0;
};

class LazyFsTransaction : public kivtest::WorkDirTest {
protected:
    // The mount goes before the work directory that holds it.
    void TearDown() override {
        mount_.reset();
        WorkDirTest::TearDown();
    }

    // Mounts LazyFS in the work directory; skips, saying why, where it
    // cannot.
    // `renumbered`: a plain FUSE mount, which tmpfs mounts make come back
    // under another device number at each power cut (KIV_LAZYFS_RENUMBER
    // asks for that in every test).
    void mount(bool renumbered = std::getenv("KIV_LAZYFS_RENUMBER") != nullptr) {
        std::string why_not;
        if (!fuse_usable(why_not)) {
            GTEST_SKIP() << "no FUSE: " << why_not;
        }
        const std::string program = lazyfs_program(why_not);
        if (program.empty()) {
            GTEST_SKIP() << why_not;
        }
        kivtest::make_directory(path("root"));
        kivtest::make_directory(path("mnt"));
        mount_ = std::make_unique<LazyFsMount>(program, dir(), path("root"), path("mnt"),
                                               renumbered);
        if (!mount_->ok() && mount_->error().rfind("no loop device", 0) == 0) {
            GTEST_SKIP() << mount_->error();
        }
        ASSERT_TRUE(mount_->ok()) << mount_->error();
    }

    kivtest::ProgramRun driver(const std::vector<std::string>& arguments,
                               std::vector<std::string> environment = {}) {
        environment.push_back(std::string("LD_PRELOAD=") + KIV_KILLPOINT_PATH);
        return kivtest::run_program(KIV_CRASH_DRIVER_PATH, arguments, environment);
    }

    // Sets the old state of run `seed` of `shape` up in the mount, synced,
    // and returns its members; `base` is its folder.
    std::vector<Member> set_up(const Shape& shape, unsigned seed, const std::string& base) {
        std::vector<Member> members;
        make_directory_durably(base);
        for (const char* folder : {"journal", "media"}) {
            make_directory_durably(base + "/" + folder);
        }
        for (std::size_t folder = 0; folder < shape.folders; ++folder) {
            make_directory_durably(base + "/app" + std::to_string(folder));
        }
        for (std::size_t index = 0; index < shape.members; ++index) {
            Member member;
            member.target = base + "/app" + std::to_string(index % shape.folders) + "/target" +
                            std::to_string(index);
            if (shape.in_made_folders) {
                member.target = base + made_folders[index % 2] + "/target" + std::to_string(index);
            }
            const bool patch = shape.kind == Members::patches ||
                               (shape.kind == Members::mixed && index % 3 == 1);
            member.existed = patch || shape.targets == Targets::existing ||
                             (shape.targets == Targets::mixed && index % 2 == 0);
            if (patch) {
                member.old_content =
                    content("@old@", seed, index, std::max<std::size_t>(shape.size, 1));
                member.new_content =
                    kivtest::reference_substitution(member.old_content, "@old@", "@new@").output;
                member.source = "=@old@=@new@";
            } else {
                member.new_content = content("new", seed, index, shape.size);
                member.source = base + "/media/source" + std::to_string(index);
                write_durably(member.source, member.new_content);
                if (member.existed) {
                    member.old_content =
                        content("old", seed, index, shape.size == 0 ? 30 : shape.size);
                }
            }
            if (member.existed) {
                write_durably(member.target, member.old_content);
            }
            members.push_back(member);
        }
        for (std::size_t folder = 0; folder < shape.folders; ++folder) {
            sync_directory(base + "/app" + std::to_string(folder));
        }
        return members;
    }

    std::vector<std::string> transaction(const Shape& shape, const std::string& base,
                                         const std::vector<Member>& members) {
        std::vector<std::string> arguments = {"txn", base + "/journal"};
        for (const char* folder : made_folders) {
            if (shape.in_made_folders) {
                arguments.insert(arguments.end(), {"+", base + folder});
            }
        }
        for (const Member& member : members) {
            arguments.push_back(member.source);
            arguments.push_back(member.target);
        }
        return arguments;
    }

    // The calls that the killpoint library counts in one transaction of
    // `shape`, from a run of its own to its end.
    unsigned long calls_of(const Shape& shape) {
        const std::string base = path("mnt/counted");
        const std::vector<Member> members = set_up(shape, 0, base);
        const std::string count = path("count");
        const kivtest::ProgramRun run =
            driver(transaction(shape, base, members), {"KIV_COUNT_FILE=" + count, "KIV_KILL_AT"});
        EXPECT_EQ(run.exit_status, 0) << "the counting run: " << run.err;
        return kivtest::exists(count) ? std::strtoul(kivtest::read_file(count).c_str(), nullptr, 10)
                                      : 0;
    }

    // The targets' state now, and whether anything else is in their
    // folders or in the journal folder.
    Outcome judge(const std::string& base, const std::vector<Member>& members,
                  std::string& what) {
        bool all_old = true;
        bool all_new = true;
        // Each folder between `base` and a target holds the targets there
        // and the folders on the way to them, and nothing else.
        std::map<std::string, std::set<std::string>> expected;
        for (const Member& member : members) {
            const bool present = kivtest::exists(member.target);
            const std::string now = present ? kivtest::read_file(member.target) : std::string();
            all_old = all_old && present == member.existed && now == member.old_content;
            all_new = all_new && present && now == member.new_content;
            for (std::string at = member.target; parent_of(at) != base; at = parent_of(at)) {
                std::set<std::string>& names = expected[parent_of(at)];
                if (present) {
                    names.insert(at.substr(at.rfind('/') + 1));
                }
            }
        }
        for (auto& [folder, names] : expected) {
            const std::vector<std::string> there = names_in(folder);
            if (there != std::vector<std::string>(names.begin(), names.end())) {
                what = "something of the transaction is left in " + folder + ": " + listed(there);
                return Outcome::violation;
            }
        }
        const std::vector<std::string> journals = names_in(base + "/journal");
        if (!journals.empty()) {
            what = "the journal folder is not empty: " + listed(journals);
            return Outcome::violation;
        }
        if (!all_old && !all_new) {
            what = "the targets are a mix of old and new, or hold neither";
            return Outcome::violation;
        }
        return all_new ? Outcome::all_new : Outcome::all_old;
    }

    // The names and contents of every file under `base`.
    std::map<std::string, std::string> snapshot(const std::string& base) {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(base)) {
            if (entry.is_regular_file()) {
                files[entry.path().string()] = kivtest::read_file(entry.path().string());
            }
        }
        return files;
    }

    // One seeded run of `shape`, killed at a call the seed picks out of
    // `calls`, or not at all (always, given no calls); what it came to,
    // with `what` saying what went wrong. `skip_sync`, where given, is
    // KIV_SKIP_SYNC for the transaction; else KIV_LAZYFS_SKIP_SYNC is.
    Outcome run(const Shape& shape, unsigned seed, unsigned long calls, bool& killed,
                std::string& what, const char* skip_sync = std::getenv("KIV_LAZYFS_SKIP_SYNC")) {
        std::mt19937 random(seed);
        const std::string base = path("mnt/run" + std::to_string(seed));
        const std::vector<Member> members = set_up(shape, seed, base);
        if (::testing::Test::HasFatalFailure()) {
            what = "its old state could not be set up";
            return Outcome::violation;
        }
        const bool to_the_end = random() % 4 == 0 || calls == 0;
        const unsigned long kill_at = 1 + random() % std::max(calls, 1ul);
        std::vector<std::string> environment = {
            to_the_end ? "KIV_KILL_AT" : "KIV_KILL_AT=" + std::to_string(kill_at)};
        if (skip_sync != nullptr) {
            environment.push_back(std::string("KIV_SKIP_SYNC=") + skip_sync);
        }
        const kivtest::ProgramRun ran = driver(transaction(shape, base, members), environment);
        killed = ran.signal == SIGKILL;
        const std::string when =
            killed ? "killed before call " + std::to_string(kill_at) + " of " +
                         std::to_string(calls)
                   : "run to its end (exit status " + std::to_string(ran.exit_status) + ")";
        if (!killed && ran.exit_status != 0) {
            what = when + ": the transaction failed: " + ran.err;
            return Outcome::violation;
        }
        if (!mount_->power_cut()) {
            what = when + ": " + mount_->error();
            return Outcome::violation;
        }
        const kivtest::ProgramRun recovered = driver({"recover", base + "/journal"});
        if (recovered.exit_status != 0) {
            what = when + ": the recovery failed: " + recovered.err;
            return Outcome::violation;
        }
        Outcome outcome = judge(base, members, what);
        if (outcome == Outcome::all_old && !killed) {
            what = "the targets are all old after a transaction that returned 0";
            outcome = Outcome::violation;
        }
        if (outcome == Outcome::violation) {
            what = when + ", then recovered: " + what;
            return outcome;
        }
        const std::map<std::string, std::string> before = snapshot(base);
        if (!mount_->power_cut()) {
            what = when + ", recovered: " + mount_->error();
            return Outcome::violation;
        }
        if (snapshot(base) != before) {
            what = when + ": the recovered files changed at a second power cut";
            return Outcome::violation;
        }
        const kivtest::ProgramRun again = driver({"recover", base + "/journal"});
        if (again.exit_status != 0 || snapshot(base) != before) {
            what = when + ": a second recovery failed or changed the files: " + again.err;
            return Outcome::violation;
        }
        return outcome;
    }

    std::unique_ptr<LazyFsMount> mount_;
};

class LazyFsPowerLoss : public LazyFsTransaction, public ::testing::WithParamInterface<Shape> {};

TEST_P(LazyFsPowerLoss, EveryRunIsAllOldOrAllNewAfterThePowerCutAndRecovery) {
    ASSERT_NO_FATAL_FAILURE(mount());
    if (IsSkipped()) {
        return;
    }
    const Shape& shape = GetParam();
    const unsigned long calls = calls_of(shape);
    ASSERT_GT(calls, 0u) << "the killpoint library counted no calls";
    Tally tally;
    for (unsigned seed = 1; seed <= shape.runs; ++seed) {
        bool killed = false;
        std::string what;
        const Outcome outcome = run(shape, seed, calls, killed, what);
        ++tally.runs;
        tally.killed += killed ? 1 : 0;
        tally.all_old += outcome == Outcome::all_old ? 1 : 0;
        tally.all_new += outcome == Outcome::all_new ? 1 : 0;
        if (outcome == Outcome::violation) {
            if (++tally.violations <= 5) {
                ADD_FAILURE() << "run " << seed << ", " << what;
            }
        }
    }
    std::printf("%s: %u runs (%u killed, %u to the end; %lu calls), all old %u, all new %u, "
                "violations %u\n",
                shape.name, tally.runs, tally.killed, tally.runs - tally.killed, calls,
                tally.all_old, tally.all_new, tally.violations);
    EXPECT_EQ(tally.violations, 0u);
    EXPECT_GT(tally.all_new, 0u) << "no run came out all new";
}

INSTANTIATE_TEST_SUITE_P(Shapes, LazyFsPowerLoss, ::testing::ValuesIn(shapes),
                         [](const ::testing::TestParamInfo<Shape>& shape) {
                             return std::string(shape.param.name);
                         });

// The oracle must see a sync go missing: with every fsync of the
// transaction taken out, the staged members' data never reach the disk
// below, and a transaction that ran to its end leaves, after the power
// cut, targets that hold neither their old nor their new content.
TEST_F(LazyFsTransaction, NoticesTheStagedMembersSyncTakenOut) {
    ASSERT_NO_FATAL_FAILURE(mount());
    if (IsSkipped()) {
        return;
    }
    const Shape shape = {"TwoExistingOneBlockFiles", 2, 1, Members::installs, Targets::existing,
                         one_block, 5};
    unsigned noticed = 0;
    for (unsigned seed = 1; seed <= shape.runs; ++seed) {
        bool killed = false;
        std::string what;
        noticed += run(shape, seed, 0, killed, what, "fsync") == Outcome::violation ? 1u : 0u;
    }
    std::printf("every fsync taken out: %u of %u runs to the end noticed\n", noticed, shape.runs);
    EXPECT_EQ(noticed, shape.runs);
}

// A file system that comes back from the power cut under another device
// number (a device-mapper volume, a FUSE or network file system numbered
// anew) is still recovered: the journal knows it by its file system ID.
// Recovery that compared device numbers refused 16 of these 25 runs.
TEST_F(LazyFsTransaction, RecoversAFileSystemThatComesBackUnderAnotherDeviceNumber) {
    ASSERT_NO_FATAL_FAILURE(mount(true));
    if (IsSkipped()) {
        return;
    }
    const Shape shape = {"TwoExistingOneBlockFiles", 2, 1, Members::installs, Targets::existing,
                         one_block, 25};
    const unsigned long calls = calls_of(shape);
    unsigned violations = 0;
    for (unsigned seed = 1; seed <= shape.runs; ++seed) {
        bool killed = false;
        std::string what;
        if (run(shape, seed, calls, killed, what) == Outcome::violation && ++violations <= 5) {
            ADD_FAILURE() << "run " << seed << ", " << what;
        }
    }
    std::printf("renumbered at %u power cuts: %u violations in %u runs\n",
                mount_->renumberings(), violations, shape.runs);
    EXPECT_GT(mount_->renumberings(), 0u) << "the device number never changed";
    EXPECT_EQ(violations, 0u);
}

}  // namespace

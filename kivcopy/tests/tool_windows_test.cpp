// SPDX-License-Identifier: Zlib
// Windows only. The front end where Windows differs: a target that another
// program holds open, the attributes a copy keeps, hard links kept with -a,
// a backup suffix that would name a stream, and the separators of the
// paths that messages name.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "kivtest/holder.h"
#include "kivtest/system.h"
#include "kivtest/wide.h"
#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;
using Way = kivtest::HeldByAnotherProcess::Way;

constexpr DWORD read_only = FILE_ATTRIBUTE_READONLY;
constexpr DWORD seen_as = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

class WindowsCopy : public kivtest::CopyTool {
protected:
    static DWORD attributes(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }
    static void set_attributes(const std::string& path, DWORD attributes) {
        ASSERT_TRUE(::SetFileAttributesA(path.c_str(), attributes)) << path;
    }
    // The names in a directory of the work directory, sorted.
    std::vector<std::string> names_in(const std::string& directory) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(at(directory))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The file's volume, index and number of names.
    static BY_HANDLE_FILE_INFORMATION information_of(const std::string& path) {
        BY_HANDLE_FILE_INFORMATION information{};
        HANDLE handle = ::CreateFileA(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
        EXPECT_TRUE(::GetFileInformationByHandle(handle, &information)) << path;
        ::CloseHandle(handle);
        return information;
    }
    static bool same_file(const std::string& one, const std::string& other) {
        const BY_HANDLE_FILE_INFORMATION a = information_of(one);
        const BY_HANDLE_FILE_INFORMATION b = information_of(other);
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
               a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    }
};

// A target that another program reads, sharing reading and deleting but
// not writing, refuses to be opened for writing; deleting it would only mark
// it, and its name would stay taken until the reader let go. -f and
// --remove-destination set it aside instead: the copy takes its name, and
// the old file goes once the reader lets go, leaving nothing behind.
TEST_F(WindowsCopy, ReplacesATargetThatAnotherProgramReads) {
    for (const char* option : {"-f", "--remove-destination"}) {
        SCOPED_TRACE(option);
        kivtest::make_directory(at("out"));
        write_file(at("new.ini"), option);
        write_file(at("out\\t.ini"), "old");
        {
            kivtest::HeldByAnotherProcess reader(Way::read, kivtest::widen(at("out\\t.ini")));
            ASSERT_TRUE(reader.ok()) << reader.error();
            auto result = run({option, "-v", "--", at("new.ini"), at("out\\t.ini")});
            EXPECT_EQ(result.exit_status, 0) << result.err;
            EXPECT_EQ(result.out, "removed '" + at("out\\t.ini") + "'\n'" + at("new.ini") +
                                      "' -> '" + at("out\\t.ini") + "'\n");
            EXPECT_EQ(read_file(at("out\\t.ini")), option);
        }
        EXPECT_EQ(read_file(at("out\\t.ini")), option);
        EXPECT_EQ(names_in("out"), std::vector<std::string>{"t.ini"});
        kivtest::remove_tree(at("out"));
    }
}

// While the reader holds it, the old file waits under an old-file name of
// the install's (".NAME.kiv-old-" and 16 hex digits): its replacement
// holds the name, and any later call in the folder deletes it.
TEST_F(WindowsCopy, KeepsAReplacedTargetThatAnotherProgramReadsAsAnOldFile) {
    write_file(at("new.ini"), "new");
    kivtest::make_directory(at("out"));
    write_file(at("out\\t.ini"), "old");
    kivtest::HeldByAnotherProcess reader(Way::read, kivtest::widen(at("out\\t.ini")));
    ASSERT_TRUE(reader.ok()) << reader.error();
    auto result = run({"-f", "--", at("new.ini"), at("out\\t.ini")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::vector<std::string> names = names_in("out");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(0, names[0].size() - 16), ".t.ini.kiv-old-");
    EXPECT_EQ(names[0].find_first_not_of("0123456789abcdef", 15), std::string::npos);
    EXPECT_EQ(names[1], "t.ini");
}

// A run killed after it set a target aside and before its copy took the
// name leaves the target under a hidden ".NAME.kiv-was-" name, its name
// empty; the state is made here as such a run leaves it. The next run that
// sets a target aside in the folder (-f's, where the writing is refused,
// or --remove-destination's) puts such a file back first, whole, and
// deletes one whose name a new file took since.
TEST_F(WindowsCopy, PutsBackATargetThatAKilledRunLeftAside) {
    write_file(at("new.ini"), "new");
    kivtest::make_directory(at("out"));
    write_file(at("out\\.t.ini.kiv-was-0123456789abcdef"), "old t");
    write_file(at("out\\.u.ini.kiv-was-fedcba9876543210"), "older u");
    write_file(at("out\\u.ini"), "u");
    write_file(at("out\\v.ini"), "v");
    auto result = run({"--remove-destination", "--", at("new.ini"), at("out\\v.ini")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(names_in("out"), (std::vector<std::string>{"t.ini", "u.ini", "v.ini"}));
    EXPECT_EQ(read_file(at("out\\t.ini")), "old t");
    EXPECT_EQ(read_file(at("out\\u.ini")), "u");
    EXPECT_EQ(read_file(at("out\\v.ini")), "new");
}

// A read-only target that cannot be replaced is left exactly as it was,
// its read-only attribute included: one that another program holds without
// sharing deletion (it can be neither renamed nor deleted), and one that
// another program maps (it can be renamed, but not deleted).
TEST_F(WindowsCopy, LeavesAReadOnlyTargetAsItWasWhenItCannotBeReplaced) {
    write_file(at("new.ini"), "new");
    kivtest::make_directory(at("out"));
    write_file(at("out\\t.ini"), "old");
    set_attributes(at("out\\t.ini"), read_only);
    // The copy fails, and says so.
    const auto expect_refused = [&](const char* option) {
        auto result = run({option, "--", at("new.ini"), at("out\\t.ini")});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_NE(result.err.find("cannot "), std::string::npos) << result.err;
    };
    // The target keeps its bytes, its attribute and its name.
    const auto expect_target_kept = [&] {
        EXPECT_EQ(read_file(at("out\\t.ini")), "old");
        EXPECT_EQ(attributes(at("out\\t.ini")) & read_only, read_only);
        EXPECT_EQ(names_in("out"), std::vector<std::string>{"t.ini"});
    };
    for (const char* option : {"-f", "--remove-destination"}) {
        SCOPED_TRACE(option);
        {
            kivtest::UnwritableFile reader(at("out\\t.ini"));
            ASSERT_TRUE(reader.ok()) << reader.error();
            expect_refused(option);
        }
        expect_target_kept();
        {
            kivtest::HeldByAnotherProcess mapper(Way::map, kivtest::widen(at("out\\t.ini")));
            ASSERT_TRUE(mapper.ok()) << mapper.error();
            // Refused as read-only, or (root under Wine) cut short as mapped.
            expect_refused(option);
        }
        expect_target_kept();
    }
    // Held by no one, it is replaced.
    auto replaced = run({"-f", "--", at("new.ini"), at("out\\t.ini")});
    EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
    EXPECT_EQ(read_file(at("out\\t.ini")), "new");
    EXPECT_EQ(names_in("out"), std::vector<std::string>{"t.ini"});
}

// Where -f cannot replace a read-only target (another program holds it
// without sharing deletion), the message names the read-only attribute
// that refused the writing, not a running program.
TEST_F(WindowsCopy, SaysAReadOnlyTargetIsReadOnlyWhenItCannotBeReplaced) {
    write_file(at("new.ini"), "new");
    kivtest::make_directory(at("out"));
    write_file(at("out\\t.ini"), "old");
    set_attributes(at("out\\t.ini"), read_only);
    kivtest::UnwritableFile reader(at("out\\t.ini"));
    ASSERT_TRUE(reader.ok()) << reader.error();
    auto result = run({"-f", "--", at("new.ini"), at("out\\t.ini")});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("read-only"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("running"), std::string::npos) << result.err;
}

// -a and --preserve=links make two names of one file in a tree two names
// of one copy; a file of its own stays a copy of its own.
TEST_F(WindowsCopy, KeepsHardLinksWithA) {
    kivtest::make_directory(at("src"));
    write_file(at("src\\a"), "shared");
    write_file(at("src\\c"), "own");
    ASSERT_TRUE(kivtest::hard_link(at("src\\a"), at("src\\b")));
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-a"}, std::vector<std::string>{"-r", "--preserve=links"}}) {
        SCOPED_TRACE(options.back());
        const std::string out = at(options.back() == "-a" ? "archive" : "links");
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), {"--", at("src"), out});
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_TRUE(same_file(out + "\\a", out + "\\b"));
        EXPECT_EQ(information_of(out + "\\a").nNumberOfLinks, 2u);
        EXPECT_FALSE(same_file(out + "\\a", out + "\\c"));
        EXPECT_EQ(read_file(out + "\\b"), "shared");
    }
    auto plain = run({"-r", "--", at("src"), at("plain")});
    EXPECT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_FALSE(same_file(at("plain\\a"), at("plain\\b")));
}

// -p gives a copy, and a directory of a tree, the source's read-only,
// hidden and system attributes; a backup made by renaming the target keeps
// the target's.
TEST_F(WindowsCopy, KeepsReadOnlyHiddenAndSystemWithP) {
    kivtest::make_directory(at("tree"));
    write_file(at("tree\\file"), "data");
    set_attributes(at("tree\\file"), seen_as);
    set_attributes(at("tree"), FILE_ATTRIBUTE_HIDDEN);
    if ((attributes(at("tree\\file")) & seen_as) != seen_as) {
        GTEST_SKIP() << "this volume keeps no hidden or system attribute (under Wine: no "
                        "extended attributes)";
    }
    auto file = run({"-p", "--", at("tree\\file"), at("copy")});
    EXPECT_EQ(file.exit_status, 0) << file.err;
    EXPECT_EQ(attributes(at("copy")) & seen_as, seen_as);
    auto plain = run({"--", at("tree\\file"), at("plain")});
    EXPECT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_EQ(attributes(at("plain")) & seen_as, 0u);
    auto tree = run({"-a", "--", at("tree"), at("archive")});
    EXPECT_EQ(tree.exit_status, 0) << tree.err;
    EXPECT_EQ(attributes(at("archive")) & FILE_ATTRIBUTE_HIDDEN, DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(attributes(at("archive\\file")) & seen_as, seen_as);

    write_file(at("hidden"), "old");
    set_attributes(at("hidden"), FILE_ATTRIBUTE_HIDDEN);
    auto backup = run({"-f", "-b", "--", at("plain"), at("hidden")});
    EXPECT_EQ(backup.exit_status, 0) << backup.err;
    EXPECT_EQ(attributes(at("hidden~")) & FILE_ATTRIBUTE_HIDDEN, DWORD{FILE_ATTRIBUTE_HIDDEN});
}

// On NTFS "NAME:SUFFIX" names a stream of the file NAME: a suffix holding
// ':' is refused as one holding a separator is.
TEST_F(WindowsCopy, RefusesABackupSuffixThatNamesAStream) {
    write_file(at("new.ini"), "new");
    write_file(at("t.ini"), "old");
    for (const char* suffix : {":s", "a:b", "\\x"}) {
        auto result = run({"-f", "-S", suffix, "--", at("new.ini"), at("t.ini")});
        EXPECT_EQ(result.exit_status, 64) << suffix;
        EXPECT_EQ(result.err, kivtest::stream_suffix_refusal("kivcopy", suffix));
    }
    EXPECT_EQ(read_file(at("t.ini")), "old");
    EXPECT_EQ(names_in(""), (std::vector<std::string>{"new.ini", "t.ini"}));
}

// Every path a message names goes on with the separator its command-line
// text uses: the names a walk finds, the targets made from them, a target
// in a destination directory and its backup. After a drive alone ("C:",
// the drive's current folder) a name follows at once.
TEST_F(WindowsCopy, NamesEachPathWithOneKindOfSeparator) {
    kivtest::write_tree({{at("src\\a"), "alpha"}, {at("src\\sub\\b"), "beta"}});
    kivtest::make_directory(at("into"));
    write_file(at("into\\a"), "old");
    for (const char separator : {'\\', '/'}) {
        SCOPED_TRACE(std::string(1, separator));
        const std::string out = "out" + std::string(1, separator == '\\' ? 'b' : 's');
        auto tree = run({"-r", "-v", "--", at("src", separator), at(out, separator)});
        EXPECT_EQ(tree.exit_status, 0) << tree.err;
        const auto line = [&](const std::string& from, const std::string& to) {
            return "'" + at(from, separator) + "' -> '" + at(to, separator) + "'\n";
        };
        EXPECT_EQ(tree.out, line("src", out) + line("src/a", out + "/a") +
                                line("src/sub", out + "/sub") +
                                line("src/sub/b", out + "/sub/b"));
        auto into = run({"-f", "-b", "-v", "--", at("src/a", separator), at("into", separator)});
        EXPECT_EQ(into.exit_status, 0) << into.err;
        EXPECT_EQ(into.out, "'" + at("src/a", separator) + "' -> '" + at("into/a", separator) +
                                "' (backup: '" + at("into/a~", separator) + "')\n");
    }
    if (dir().rfind("C:", 0) != 0 && dir().rfind("c:", 0) != 0) {
        GTEST_SKIP() << "the work directory is not on drive C: " << dir();
    }
    const std::string home = kivtest::current_directory();
    ASSERT_TRUE(kivtest::change_directory(at("into")));
    auto drive = run({"-v", "--", "..\\src\\sub\\b", "C:"});
    ASSERT_TRUE(kivtest::change_directory(home));
    EXPECT_EQ(drive.exit_status, 0) << drive.err;
    EXPECT_EQ(drive.out, "'..\\src\\sub\\b' -> 'C:b'\n");
    EXPECT_EQ(read_file(at("into\\b")), "beta");
}

}  // namespace

// SPDX-License-Identifier: Zlib
// Windows only. The front end where Windows differs: a backup is seen as
// its file is (hidden, system), a backup suffix may not name a stream, and
// the paths that messages name, the temporary file's among them, keep one
// kind of separator.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kivtest/holder.h"
#include "kivtest/wide.h"
#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

constexpr DWORD seen_as = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

class WindowsSubst : public kivtest::SubstTool {
protected:
    static DWORD attributes(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }
};

// The backup of a hidden (or system) file is as hidden as the file: a
// visible copy of it would show what its owner hid.
TEST_F(WindowsSubst, KeepsABackupHiddenAsItsFile) {
    write_file(at("hidden.ini"), "port=8080");
    write_file(at("plain.ini"), "port=8080");
    ASSERT_TRUE(::SetFileAttributesA(at("hidden.ini").c_str(), seen_as));
    if ((attributes(at("hidden.ini")) & seen_as) != seen_as) {
        GTEST_SKIP() << "this volume keeps no hidden or system attribute (under Wine: no "
                        "extended attributes)";
    }
    for (const char* control : {"--backup", "--backup=numbered"}) {
        SCOPED_TRACE(control);
        auto result =
            run({control, "--", "8080", "8443", at("hidden.ini"), at("plain.ini")});
        EXPECT_EQ(result.exit_status, 0) << result.err;
        const std::string suffix = control == std::string("--backup") ? "~" : ".~1~";
        EXPECT_EQ(read_file(at("hidden.ini" + suffix)), "port=8080");
        EXPECT_EQ(attributes(at("hidden.ini" + suffix)) & seen_as, seen_as);
        EXPECT_EQ(attributes(at("plain.ini" + suffix)) & seen_as, 0u);
        write_file(at("plain.ini"), "port=8080");
        ASSERT_TRUE(::SetFileAttributesA(at("hidden.ini").c_str(), FILE_ATTRIBUTE_NORMAL));
        write_file(at("hidden.ini"), "port=8080");
        ASSERT_TRUE(::SetFileAttributesA(at("hidden.ini").c_str(), seen_as));
    }
}

// On NTFS "NAME:SUFFIX" names a stream of the file NAME: a suffix holding
// ':' is refused as one holding a separator is, before anything is patched.
TEST_F(WindowsSubst, RefusesABackupSuffixThatNamesAStream) {
    write_file(at("app.ini"), "old");
    for (const char* suffix : {":s", "a:b"}) {
        auto result = run({"-S", suffix, "--", "old", "new", at("app.ini")});
        EXPECT_EQ(result.exit_status, 64) << suffix;
        EXPECT_EQ(result.err, kivtest::stream_suffix_refusal("kivsubst", suffix));
    }
    EXPECT_EQ(read_file(at("app.ini")), "old");
}

// The files a walk finds are named on with the separator that the
// directory's text on the command line uses.
TEST_F(WindowsSubst, NamesEachPathWithOneKindOfSeparator) {
    kivtest::make_directory(at("conf"));
    kivtest::make_directory(at("conf\\sub"));
    for (const char separator : {'\\', '/'}) {
        SCOPED_TRACE(std::string(1, separator));
        write_file(at("conf\\app.ini"), "port=8080");
        write_file(at("conf\\sub\\b.ini"), "port=8080");
        auto result = run({"-r", "-v", "--", "8080", "8443", at("conf", separator)});
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "'" + at("conf/app.ini", separator) + "': 1 replaced\n'" +
                                  at("conf/sub/b.ini", separator) + "': 1 replaced\n");
    }
}

// The temporary file's name is joined to TMP with the separator TMP's
// text uses: a file locked by another program fails its write-back, and
// the message says where its result is kept.
TEST_F(WindowsSubst, NamesTheTemporaryFileWithTheSeparatorOfTmp) {
    using Way = kivtest::HeldByAnotherProcess::Way;
    kivtest::make_directory(at("tmp"));
    for (const char separator : {'\\', '/'}) {
        SCOPED_TRACE(std::string(1, separator));
        write_file(at("app.ini"), "port=8080");
        kivtest::HeldByAnotherProcess holder(Way::lock, kivtest::widen(at("app.ini")));
        ASSERT_TRUE(holder.ok()) << holder.error();
        auto result = run({"--", "8080", "8443", at("app.ini")}, {"TMP=" + at("tmp", separator)});
        EXPECT_EQ(result.exit_status, 7) << result.err;
        const std::string kept = "the result is kept in '" + at("tmp", separator) + separator + "KIV";
        EXPECT_NE(result.err.find(kept), std::string::npos) << result.err;
        for (const auto& entry : std::filesystem::directory_iterator(at("tmp"))) {
            std::filesystem::remove(entry.path());
        }
    }
}

}  // namespace

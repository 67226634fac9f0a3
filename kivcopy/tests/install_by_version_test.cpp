// SPDX-License-Identifier: Zlib
// KivInstallFileEx through the export, on every system: each row of the
// decision table as an installer meets it (a rebuild of the same version,
// a shared DLL older than the one installed, a vendor's lower version, a
// settings file the user edited), the manifest that tells our files from
// the user's, and a reinstall that writes nothing; on Windows also the
// spellings of one target, names outside the ANSI code page and a target
// that another program has loaded.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "kivtest/faults.h"
#endif

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "decision_cases.h"
#include "kivcopy.h"
#include "kivtest/files.h"
#include "pe_image.h"

#if defined(_WIN32)
#include "kivtest/holder.h"
#include "kivtest/wide.h"
#endif

namespace {

using kivcopy_test::Before;
using kivcopy_test::Case;
using kivcopy_test::dll;
using kivcopy_test::Image;
using kivtest::read_file;
using kivtest::write_file;

class InstallByVersion : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("media"));
        kivtest::make_directory(path("app"));
        kivtest::make_directory(path("manifest"));
    }

    // Installs `bytes` as app/file with `flags`, with the manifest or none.
    int install(const std::string& bytes, int flags, bool with_manifest = true) {
        write_file(path("media/file"), bytes);
        return KivInstallFileEx(path("media/file").c_str(), path("app/file").c_str(), flags,
                                with_manifest ? path("manifest").c_str() : nullptr);
    }

    std::vector<std::string> names_in(const std::string& folder) const {
        return kivtest::sorted_names(path(folder));
    }
};

class DecisionRows : public InstallByVersion, public ::testing::WithParamInterface<Case> {};

TEST_P(DecisionRows, KeepOrReplaceTheTargetAsTheTableSays) {
    const Case& c = GetParam();
    const bool with_manifest = c.before != Before::no_manifest;
    if (c.before == Before::ours) {
        ASSERT_EQ(install(c.installed, 0), KIVCOPY_OK);
    } else {
        write_file(path("app/file"), c.installed);
    }
    EXPECT_EQ(install(c.incoming, c.flags, with_manifest), c.result);
    EXPECT_EQ(read_file(path("app/file")), c.replaced ? c.incoming : c.installed);
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"file"});
}

INSTANTIATE_TEST_SUITE_P(Rows, DecisionRows, ::testing::ValuesIn(kivcopy_test::decision_cases()),
                         [](const ::testing::TestParamInfo<Case>& row) {
                             return std::string(row.param.name);
                         });

// The record names what was installed and what it replaced of ours, so that
// a crash on either side of the rename finds the target ours; a user's edit
// makes it theirs, and a later install keeps it.
TEST_F(InstallByVersion, TheManifestKnowsOurFileOnBothSidesOfTheRename) {
    ASSERT_EQ(install("v1", 0), KIVCOPY_OK);
    ASSERT_EQ(install("v2", KIVINSTALL_BY_VERSION), KIVCOPY_OK);
    const std::vector<std::string> records = names_in("manifest");
    ASSERT_EQ(records.size(), 1u);
    const std::string record = read_file(path("manifest/" + records[0]));
    // Both hashes are kept: had the rename been lost, "v1" would be ours.
    const std::string v1 = "3bfc269594ef649228e9a74bab00f042efc91d5acc6fbee31a382e80d42388fe";
    EXPECT_NE(record.find("sha256 " + v1 + "\n"), std::string::npos) << record;
    write_file(path("app/file"), "v1");
    EXPECT_EQ(install("v3", KIVINSTALL_BY_VERSION), KIVCOPY_OK);
    write_file(path("app/file"), "v3, edited");
    EXPECT_EQ(install("v4", KIVINSTALL_BY_VERSION), KIVINSTALL_KEPT_CHANGED);
    EXPECT_EQ(read_file(path("app/file")), "v3, edited");
    // An empty manifest folder is no folder (not the current one): the
    // call is refused and changes nothing.
    EXPECT_EQ(KivInstallFileEx(path("media/file").c_str(), path("app/file").c_str(),
                               KIVINSTALL_BY_VERSION, ""),
              KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(read_file(path("app/file")), "v3, edited");
}

#if !defined(_WIN32)
// A reinstall of 1,000 unchanged files writes nothing: not one write call
// (write, pwrite, copy_file_range) in the process, no target's status
// changed (its inode's change time moves with any write, rename onto it or
// change of mode), and no name made or removed in the targets' folder or
// the manifest's.
TEST_F(InstallByVersion, AReinstallOfAThousandUnchangedFilesWritesNothing) {
    constexpr int files = 1000;
    const auto install_all = [&] {
        int installed = 0;
        for (int i = 0; i < files; ++i) {
            const std::string name = "/f" + std::to_string(i);
            installed += KivInstallFileEx((path("media") + name).c_str(),
                                          (path("app") + name).c_str(), KIVINSTALL_BY_VERSION,
                                          path("manifest").c_str()) == KIVCOPY_OK;
        }
        return installed;
    };
    for (int i = 0; i < files; ++i) {
        write_file(path("media/f" + std::to_string(i)),
                   i % 10 == 0 ? dll(1, static_cast<std::uint32_t>(i)) : kivtest::pattern_bytes(
                                                     static_cast<std::size_t>(i * 37 % 9000),
                                                     static_cast<unsigned>(i)));
    }
    ASSERT_EQ(install_all(), files);
    struct stat app_before {};
    struct stat manifest_before {};
    ASSERT_EQ(::stat(path("app").c_str(), &app_before), 0);
    ASSERT_EQ(::stat(path("manifest").c_str(), &manifest_before), 0);
    std::vector<struct timespec> changed_before(files);
    for (int i = 0; i < files; ++i) {
        struct stat status {};
        ASSERT_EQ(::stat(path("app/f" + std::to_string(i)).c_str(), &status), 0);
        changed_before[static_cast<std::size_t>(i)] = status.st_ctim;
    }

    int current = 0;
    unsigned write_calls = 0;
    std::uint64_t bytes_written = 0;
    {
        const kivtest::CallHook writes(kivtest::HookedCall::write, {});
        const kivtest::CallHook copies(kivtest::HookedCall::copy_file_range, {});
        for (int i = 0; i < files; ++i) {
            const std::string name = "/f" + std::to_string(i);
            current += KivInstallFileEx((path("media") + name).c_str(),
                                        (path("app") + name).c_str(), KIVINSTALL_BY_VERSION,
                                        path("manifest").c_str()) == KIVINSTALL_ALREADY_CURRENT;
        }
        write_calls = writes.calls() + copies.calls();
        bytes_written = writes.bytes() + copies.bytes();
    }
    EXPECT_EQ(current, files);
    EXPECT_EQ(write_calls, 0u);
    EXPECT_EQ(bytes_written, 0u);
    int changed = 0;
    for (int i = 0; i < files; ++i) {
        struct stat status {};
        ASSERT_EQ(::stat(path("app/f" + std::to_string(i)).c_str(), &status), 0);
        const struct timespec& was = changed_before[static_cast<std::size_t>(i)];
        changed += status.st_ctim.tv_sec != was.tv_sec || status.st_ctim.tv_nsec != was.tv_nsec;
    }
    EXPECT_EQ(changed, 0);
    struct stat app_after {};
    struct stat manifest_after {};
    ASSERT_EQ(::stat(path("app").c_str(), &app_after), 0);
    ASSERT_EQ(::stat(path("manifest").c_str(), &manifest_after), 0);
    EXPECT_EQ(app_after.st_mtim.tv_nsec, app_before.st_mtim.tv_nsec);
    EXPECT_EQ(app_after.st_mtim.tv_sec, app_before.st_mtim.tv_sec);
    EXPECT_EQ(manifest_after.st_mtim.tv_nsec, manifest_before.st_mtim.tv_nsec);
    EXPECT_EQ(manifest_after.st_mtim.tv_sec, manifest_before.st_mtim.tv_sec);
}

// A record is believed only where the caller alone can have written it:
// one that others may write, or that has a second name, is no record, and
// the target it speaks for is then not ours.
TEST_F(InstallByVersion, ARecordThatOthersCouldHaveWrittenIsNoRecord) {
    ASSERT_EQ(install("colour=red", 0), KIVCOPY_OK);
    const std::vector<std::string> records = names_in("manifest");
    ASSERT_EQ(records.size(), 1u);
    const std::string record = path("manifest/" + records[0]);
    ASSERT_EQ(::chmod(record.c_str(), 0620), 0);
    EXPECT_EQ(install("colour=green", KIVINSTALL_BY_VERSION), KIVINSTALL_KEPT_CHANGED);
    ASSERT_EQ(::chmod(record.c_str(), 0600), 0);
    ASSERT_EQ(::link(record.c_str(), path("second-name").c_str()), 0);
    EXPECT_EQ(install("colour=green", KIVINSTALL_BY_VERSION), KIVINSTALL_KEPT_CHANGED);
    ASSERT_EQ(::unlink(path("second-name").c_str()), 0);
    EXPECT_EQ(install("colour=green", KIVINSTALL_BY_VERSION), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/file")), "colour=green");
}
#endif

#if defined(_WIN32)
// The restart entries as the registry holds them now that name `part`
// (the test's own folder: other tests that run at the same time in the
// prefix queue entries of their own); none for none.
std::vector<std::wstring> pending_renames_naming(const std::wstring& part) {
    HKEY key = nullptr;
    std::wstring value;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_QUERY_VALUE, &key) != 0) {
        return {};
    }
    DWORD size = 0;
    if (::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr,
                           &size) == 0 &&
        size > 0) {
        value.assign(size / sizeof(wchar_t), L'\0');
        ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value.data()), &size);
    }
    ::RegCloseKey(key);
    std::vector<std::wstring> entries;
    for (std::size_t at = 0; at < value.size();) {
        const std::size_t end = std::min(value.find(L'\0', at), value.size());
        const std::wstring entry = value.substr(at, end - at);
        if (entry.find(part) != std::wstring::npos) {
            entries.push_back(entry);
        }
        at = end + 1;
    }
    return entries;
}

// Windows compares names without regard to case and takes a \\?\ path for
// the same file: a target spelled either way is the one the manifest knows
// as ours, so an unversioned file we installed is replaced, not kept as the
// user's.
TEST_F(InstallByVersion, FindsTheRecordOfATargetSpelledInOtherLettersOrVerbatim) {
    ASSERT_EQ(install("v1", 0), KIVCOPY_OK);
    std::string upper = at("app\\file");
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    write_file(path("media/file"), "v2");
    EXPECT_EQ(KivInstallFileEx(path("media/file").c_str(), upper.c_str(), KIVINSTALL_BY_VERSION,
                               path("manifest").c_str()),
              KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/file")), "v2");
    const std::wstring verbatim = kivtest::verbatim(kivtest::widen(upper));
    write_file(path("media/file"), "v3");
    EXPECT_EQ(KivInstallFileExW(kivtest::widen(path("media/file")).c_str(), verbatim.c_str(),
                                KIVINSTALL_BY_VERSION, kivtest::widen(path("manifest")).c_str()),
              KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/file")), "v3");
    EXPECT_EQ(names_in("manifest").size(), 1u);
}

// The wide twin reaches a source, a target and a manifest folder that the
// ANSI code page cannot name, and knows the target as ours there.
TEST_F(InstallByVersion, TheWideTwinTakesNamesOutsideTheCodePage) {
    const std::wstring folder = kivtest::wide_path(dir(), "Кириллица 漢字");
    kivtest::make_directory(folder);
    kivtest::make_directory(folder + L"\\清单");
    const std::wstring source = folder + L"\\źródło.txt";
    const std::wstring target = folder + L"\\настройки.txt";
    const std::wstring manifest = folder + L"\\清单";
    kivtest::write_file(source, "colour=blue");
    ASSERT_EQ(KivInstallFileExW(source.c_str(), target.c_str(), 0, manifest.c_str()), KIVCOPY_OK);
    kivtest::write_file(source, "colour=red");
    EXPECT_EQ(KivInstallFileExW(source.c_str(), target.c_str(), KIVINSTALL_BY_VERSION,
                                manifest.c_str()),
              KIVCOPY_OK);
    EXPECT_EQ(kivtest::read_file(target), "colour=red");
    kivtest::write_file(target, "colour=green (the user's)");
    EXPECT_EQ(KivInstallFileExW(source.c_str(), target.c_str(), KIVINSTALL_BY_VERSION,
                                manifest.c_str()),
              KIVINSTALL_KEPT_CHANGED);
    EXPECT_EQ(kivtest::read_file(target), "colour=green (the user's)");
    EXPECT_EQ(kivtest::entries(manifest).size(), 1u);
}

// An image that another program has loaded (here the holder runs from it,
// mapped as a DLL is) cannot be written or deleted; an install of the same
// bytes finds it current (2) without renaming it aside or queueing anything
// for a restart.
TEST_F(InstallByVersion, LeavesALoadedImageOfTheSameBytesAsItIs) {
    const std::wstring image = kivtest::widen(at("app\\file"));
    ASSERT_TRUE(::CopyFileW(kivtest::HeldByAnotherProcess::program().c_str(), image.c_str(), TRUE));
    const std::string bytes = read_file(path("app/file"));
    write_file(path("app/held.txt"), "");
    const std::string work = dir().substr(dir().find_last_of("/\\") + 1);
    const std::wstring own = kivtest::widen(work);
    const std::vector<std::wstring> queued = pending_renames_naming(own);
    kivtest::HeldByAnotherProcess running(kivtest::HeldByAnotherProcess::Way::open,
                                          kivtest::widen(at("app\\held.txt")), image);
    ASSERT_TRUE(running.ok()) << running.error();
    for (const int flags : {KIVINSTALL_BY_VERSION, KIVINSTALL_BY_VERSION | KIVINSTALL_AT_RESTART}) {
        EXPECT_EQ(install(bytes, flags), KIVINSTALL_ALREADY_CURRENT);
        EXPECT_EQ(install(bytes, flags, false), KIVINSTALL_ALREADY_CURRENT);
    }
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"file", "held.txt"}));
    EXPECT_EQ(pending_renames_naming(own), queued);
    EXPECT_EQ(read_file(path("app/file")), bytes);
}

// A read-only target that the decision keeps gives the decision's result;
// one it would replace still needs KIVINSTALL_READ_ONLY, and keeps the
// attribute.
TEST_F(InstallByVersion, AReadOnlyTargetIsKeptByTheDecisionAndReplacedOnlyWithFlagFour) {
    ASSERT_EQ(install(dll(2, 0), 0), KIVCOPY_OK);
    ASSERT_TRUE(::SetFileAttributesA(path("app/file").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(install(dll(2, 0), KIVINSTALL_BY_VERSION), KIVINSTALL_ALREADY_CURRENT);
    EXPECT_EQ(install(dll(1, 0), KIVINSTALL_BY_VERSION), KIVINSTALL_KEPT_NEWER);
    EXPECT_EQ(install(dll(2, 1), KIVINSTALL_BY_VERSION), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(read_file(path("app/file")), dll(2, 0));
    EXPECT_EQ(install(dll(2, 1), KIVINSTALL_BY_VERSION | KIVINSTALL_READ_ONLY), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/file")), dll(2, 1));
    EXPECT_NE(::GetFileAttributesA(path("app/file").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ::SetFileAttributesA(path("app/file").c_str(), FILE_ATTRIBUTE_NORMAL);
}
#endif

}  // namespace

// SPDX-License-Identifier: Zlib
// Windows only, and in a Wine prefix of its own (CMakeLists.txt): installs
// over files in use, then a restart (wineboot -r), which carries out the
// queued restart entries and clears them. Every case starts with no entry
// queued. The core is linked in, so that a case can have the system refuse
// to queue a move, which Wine never does by itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install.h"
#include "kivcopy.h"
#include "kivfs/restart_queue.h"
#include "kivtest/files.h"
#include "kivtest/holder.h"
#include "kivtest/restart.h"
#include "kivtest/wide.h"

namespace {

using kivtest::HeldByAnotherProcess;

constexpr const wchar_t* session_manager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* pending = L"PendingFileRenameOperations";

// The strings of the restart entries, two a pair, as the registry holds
// them: "\??\" paths, an empty target for a deletion.
std::vector<std::wstring> pending_strings() {
    std::vector<std::wstring> strings;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager, 0, KEY_QUERY_VALUE, &key) != 0) {
        return strings;
    }
    DWORD size = 0;
    if (::RegQueryValueExW(key, pending, nullptr, nullptr, nullptr, &size) == 0 && size > 0) {
        std::wstring value(size / sizeof(wchar_t), L'\0');
        ::RegQueryValueExW(key, pending, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()),
                           &size);
        std::size_t at = 0;
        while (at < value.size()) {
            std::size_t end = value.find(L'\0', at);
            end = end == std::wstring::npos ? value.size() : end;
            strings.push_back(value.substr(at, end - at));
            at = end + 1;
        }
        if (strings.size() % 2 == 1 && strings.back().empty()) {
            strings.pop_back();
        }
    }
    ::RegCloseKey(key);
    return strings;
}

void clear_pending() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager, 0, KEY_SET_VALUE, &key) == 0) {
        ::RegDeleteValueW(key, pending);
        ::RegDeleteValueW(key, L"PendingFileRenameOperations2");
        ::RegCloseKey(key);
    }
}

// Newer Windows queues some entries in PendingFileRenameOperations2, in
// the same form; Wine never writes it, so the test does.
void set_second_value(const std::wstring& value) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager, 0, KEY_SET_VALUE, &key), 0);
    ::RegSetValueExW(key, L"PendingFileRenameOperations2", 0, REG_MULTI_SZ,
                     reinterpret_cast<const BYTE*>(value.data()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

std::wstring second_value() {
    HKEY key = nullptr;
    std::wstring value;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager, 0, KEY_QUERY_VALUE, &key) == 0) {
        DWORD size = 0;
        if (::RegQueryValueExW(key, L"PendingFileRenameOperations2", nullptr, nullptr, nullptr,
                               &size) == 0) {
            value.assign(size / sizeof(wchar_t), L'\0');
            ::RegQueryValueExW(key, L"PendingFileRenameOperations2", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(value.data()), &size);
        }
        ::RegCloseKey(key);
    }
    return value;
}

// How a restart entry names a path: "\??\" and the full path.
std::wstring entry_for(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return L"\\??\\" + std::wstring(full);
}

bool names(const std::wstring& entry, const std::wstring& path) {
    std::wstring bare = !entry.empty() && entry.front() == L'!' ? entry.substr(1) : entry;
    return ::CompareStringOrdinal(bare.c_str(), -1, entry_for(path).c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

int refused_move(const wchar_t*, const wchar_t*, unsigned long) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

class InstallAtRestart : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("media"));
        kivtest::make_directory(path("app"));
        clear_pending();
    }

    void TearDown() override {
        kivfs::delayed_move = saved_move_;
        WorkDirTest::TearDown();
    }

    std::wstring at(const std::string& name) const { return kivtest::widen(path(name)); }

    int install(const std::string& target, int flags) {
        return kivcopy::result_of(kivcopy::install_file(
            at("media/new").c_str(), at(target).c_str(),
            {(flags & KIVINSTALL_REPLACE) != 0, (flags & KIVINSTALL_AT_RESTART) != 0,
             (flags & KIVINSTALL_READ_ONLY) != 0}));
    }

    DWORD attributes(const std::string& name) const {
        return ::GetFileAttributesW(at(name).c_str());
    }
    void make_read_only(const std::string& name) const {
        ASSERT_TRUE(::SetFileAttributesW(at(name).c_str(), FILE_ATTRIBUTE_READONLY));
    }

    std::vector<std::wstring> names_in(const std::string& folder) const {
        std::vector<std::wstring> found = kivtest::entries(at(folder));
        std::sort(found.begin(), found.end());
        return found;
    }

    // The restart: Wine's wineboot -r carries out the entries and clears
    // the value, as Windows does when it starts.
    static void restart() {
        ASSERT_TRUE(kivtest::restart_with_wineboot())
            << "cannot start wineboot: error " << ::GetLastError();
        EXPECT_TRUE(pending_strings().empty()) << "the restart left entries queued";
    }

    const kivfs::DelayedMove saved_move_ = kivfs::delayed_move;
    const int both = KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART;
};

// Held open without write or delete sharing, the target can be neither
// replaced nor renamed: the new file waits beside it for the restart, and
// after it is the target, with nothing else left in the folder.
TEST_F(InstallAtRestart, ReplacesAHeldFileAtTheNextRestart) {
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/held.dll"), "old bytes");
    {
        kivtest::UnwritableFile held(path("app/held.dll"));
        ASSERT_TRUE(held.ok()) << held.error();
        ASSERT_EQ(install("app/held.dll", both), KIVINSTALL_RESTART_NEEDED);
        EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "old bytes");
        const std::vector<std::wstring> queued = pending_strings();
        ASSERT_EQ(queued.size(), 2u);
        EXPECT_TRUE(names(queued[1], at("app/held.dll"))) << kivtest::to_ansi(queued[1]);
        EXPECT_EQ(queued[1].substr(0, 1), L"!") << "the queued rename would not replace";
        EXPECT_EQ(names_in("app").size(), 2u) << "no new file waits beside the target";
    }
    restart();
    EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "new bytes");
    EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"held.dll"});
}

// The same without KIVINSTALL_AT_RESTART: -5032, and nothing changed,
// nothing left, nothing queued.
TEST_F(InstallAtRestart, LeavesAHeldFileAloneWithoutRestart) {
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/held.dll"), "old bytes");
    kivtest::UnwritableFile held(path("app/held.dll"));
    ASSERT_TRUE(held.ok()) << held.error();
    EXPECT_EQ(install("app/held.dll", KIVINSTALL_REPLACE), KIVINSTALL_IN_USE);
    EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "old bytes");
    EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"held.dll"});
    EXPECT_TRUE(pending_strings().empty());
}

// A running program can be renamed but neither written nor deleted: it is
// renamed aside, the new file takes its name at once (0), and the aside
// file goes at the restart.
TEST_F(InstallAtRestart, ReplacesARunningProgramAtOnce) {
    kivtest::write_file(path("media/new"), "new program");
    kivtest::write_file(path("app/held.txt"), "");
    ASSERT_TRUE(::CopyFileW(HeldByAnotherProcess::program().c_str(), at("app/app.exe").c_str(),
                            TRUE));
    {
        HeldByAnotherProcess running(HeldByAnotherProcess::Way::open, at("app/held.txt"),
                                     at("app/app.exe"));
        ASSERT_TRUE(running.ok()) << running.error();
        ASSERT_EQ(install("app/app.exe", KIVINSTALL_REPLACE), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(path("app/app.exe")), "new program");
        EXPECT_EQ(names_in("app").size(), 3u) << "the running program was not renamed aside";
        EXPECT_EQ(pending_strings().size(), 2u) << "the aside file's deletion was not queued";
    }
    restart();
    EXPECT_EQ(kivtest::read_file(path("app/app.exe")), "new program");
    EXPECT_EQ(names_in("app"), (std::vector<std::wstring>{L"app.exe", L"held.txt"}));
}

// Where the system refuses to queue the aside file's deletion, the install
// still succeeds, and a later call in the folder deletes the file once the
// program has let go of it.
TEST_F(InstallAtRestart, RemovesAnAsideFileItCouldNotQueueOnceItIsFree) {
    kivfs::delayed_move = &refused_move;
    kivtest::write_file(path("media/new"), "new program");
    kivtest::write_file(path("app/held.txt"), "");
    ASSERT_TRUE(::CopyFileW(HeldByAnotherProcess::program().c_str(), at("app/app.exe").c_str(),
                            TRUE));
    {
        HeldByAnotherProcess running(HeldByAnotherProcess::Way::open, at("app/held.txt"),
                                     at("app/app.exe"));
        ASSERT_TRUE(running.ok()) << running.error();
        ASSERT_EQ(install("app/app.exe", KIVINSTALL_REPLACE), KIVCOPY_OK);
        EXPECT_TRUE(pending_strings().empty());
        EXPECT_EQ(names_in("app").size(), 3u);
    }
    ASSERT_EQ(install("app/other.dll", 0), KIVCOPY_OK);
    EXPECT_EQ(names_in("app"), (std::vector<std::wstring>{L"app.exe", L"held.txt", L"other.dll"}));
}

// Where the system refuses to queue the replacement itself, nothing is
// changed, left or queued, and the call says it could not write the target.
TEST_F(InstallAtRestart, FailsWhenTheReplacementCannotBeQueued) {
    kivfs::delayed_move = &refused_move;
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/held.dll"), "old bytes");
    kivtest::UnwritableFile held(path("app/held.dll"));
    ASSERT_TRUE(held.ok()) << held.error();
    EXPECT_EQ(install("app/held.dll", both), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "old bytes");
    EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"held.dll"});
    EXPECT_TRUE(pending_strings().empty());
}

// An uninstall queued the target's deletion, and an earlier install a
// rename onto it; another program queued a file of its own. The install
// takes out the two that would undo it, keeps the third exactly, and the
// new file survives the restart.
TEST_F(InstallAtRestart, TakesOutTheStaleEntriesThatWouldUndoIt) {
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/lib.dll"), "old bytes");
    kivtest::write_file(path("app/older.dll"), "older bytes");
    kivtest::write_file(path("app/away.dll"), "");
    kivtest::write_file(path("unrelated.tmp"), "theirs");
    ASSERT_TRUE(::MoveFileExW(at("app/lib.dll").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(::MoveFileExW(at("unrelated.tmp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(::MoveFileExW(at("app/older.dll").c_str(), at("app/lib.dll").c_str(),
                              MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(::MoveFileExW(at("app/lib.dll").c_str(), at("app/away.dll").c_str(),
                              MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    const std::vector<std::wstring> before = pending_strings();
    ASSERT_EQ(before.size(), 8u);

    ASSERT_EQ(install("app/lib.dll", KIVINSTALL_REPLACE), KIVCOPY_OK);
    const std::vector<std::wstring> kept = pending_strings();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], before[2]);
    EXPECT_EQ(kept[1], before[3]);
    EXPECT_TRUE(names(kept[0], at("unrelated.tmp")));

    restart();
    EXPECT_EQ(kivtest::read_file(path("app/lib.dll")), "new bytes");
    EXPECT_FALSE(kivtest::exists(path("unrelated.tmp"))) << "another program's entry was lost";
}

// The second value is read and mended the same way: the target's queued
// deletion goes, another file's stays byte for byte.
TEST_F(InstallAtRestart, TakesOutStaleEntriesOfTheSecondValueToo) {
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/lib.dll"), "old bytes");
    const std::wstring theirs = entry_for(at("theirs.tmp"));
    std::wstring value = entry_for(at("app/lib.dll"));
    value += L'\0';
    value += L'\0';
    value += theirs + L'\0' + L'\0';
    set_second_value(value);
    ASSERT_EQ(install("app/lib.dll", KIVINSTALL_REPLACE), KIVCOPY_OK);
    EXPECT_EQ(second_value(), theirs + L'\0' + L'\0' + L'\0');
    clear_pending();
}

// A read-only target is replaced only with KIVINSTALL_READ_ONLY, and the
// new file keeps the attribute: without the flag -5010 and nothing changed;
// with it the new bytes, read-only, and nothing left beside them. A
// running read-only program is renamed aside and its old file goes at the
// restart, as any running program's does.
TEST_F(InstallAtRestart, ReplacesAReadOnlyTargetOnlyWithItsFlag) {
    const int read_only = KIVINSTALL_REPLACE | KIVINSTALL_READ_ONLY;
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/lib.dll"), "old bytes");
    make_read_only("app/lib.dll");
    EXPECT_EQ(install("app/lib.dll", KIVINSTALL_REPLACE), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(kivtest::read_file(path("app/lib.dll")), "old bytes");
    EXPECT_EQ(install("app/lib.dll", KIVINSTALL_READ_ONLY), KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(kivtest::read_file(path("app/lib.dll")), "old bytes");

    ASSERT_EQ(install("app/lib.dll", read_only), KIVCOPY_OK);
    EXPECT_EQ(kivtest::read_file(path("app/lib.dll")), "new bytes");
    EXPECT_NE(attributes("app/lib.dll") & FILE_ATTRIBUTE_READONLY, 0u)
        << "the new file lost the read-only attribute";
    EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"lib.dll"});

    kivtest::write_file(path("app/held.txt"), "");
    ASSERT_TRUE(::CopyFileW(HeldByAnotherProcess::program().c_str(), at("app/app.exe").c_str(),
                            TRUE));
    make_read_only("app/app.exe");
    {
        HeldByAnotherProcess running(HeldByAnotherProcess::Way::open, at("app/held.txt"),
                                     at("app/app.exe"));
        ASSERT_TRUE(running.ok()) << running.error();
        ASSERT_EQ(install("app/app.exe", read_only), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(path("app/app.exe")), "new bytes");
        EXPECT_NE(attributes("app/app.exe") & FILE_ATTRIBUTE_READONLY, 0u);
    }
    restart();
    EXPECT_EQ(names_in("app"), (std::vector<std::wstring>{L"app.exe", L"held.txt", L"lib.dll"}));
}

// A read-only target held without sharing waits for the restart without
// its attribute, and the new file that replaces it then has it. Where the
// replacement cannot be queued, the old file gets its attribute back.
TEST_F(InstallAtRestart, ReplacesAHeldReadOnlyTargetAtTheNextRestart) {
    const int all = both | KIVINSTALL_READ_ONLY;
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/held.dll"), "old bytes");
    make_read_only("app/held.dll");
    {
        kivtest::UnwritableFile held(path("app/held.dll"));
        ASSERT_TRUE(held.ok()) << held.error();
        kivfs::delayed_move = &refused_move;
        EXPECT_EQ(install("app/held.dll", all), KIVCOPY_TARGET_NOT_WRITTEN);
        EXPECT_NE(attributes("app/held.dll") & FILE_ATTRIBUTE_READONLY, 0u)
            << "the old file lost its attribute though it stays";
        EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"held.dll"});
        kivfs::delayed_move = saved_move_;
        ASSERT_EQ(install("app/held.dll", all), KIVINSTALL_RESTART_NEEDED);
        EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "old bytes");
    }
    restart();
    EXPECT_EQ(kivtest::read_file(path("app/held.dll")), "new bytes");
    EXPECT_NE(attributes("app/held.dll") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(names_in("app"), std::vector<std::wstring>{L"held.dll"});
}

// Stale entries that spell the target otherwise: by its 8.3 short names,
// in capitals, and with the "\\?\" prefix that Win32 paths take. Each is
// taken out as the plain spelling is, another program's entry stays, and
// the new file survives the restart.
TEST_F(InstallAtRestart, TakesOutStaleEntriesThatSpellTheTargetOtherwise) {
    kivtest::make_directory(path("app/stale folder"));
    kivtest::write_file(path("media/new"), "new bytes");
    kivtest::write_file(path("app/stale folder/long name.dll"), "old bytes");
    kivtest::write_file(path("app/older.dll"), "older bytes");
    kivtest::write_file(path("unrelated.tmp"), "theirs");
    const std::wstring target = at("app/stale folder/long name.dll");
    std::wstring short_path(MAX_PATH, L'\0');
    const DWORD length = ::GetShortPathNameW(target.c_str(), short_path.data(), MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    short_path.resize(length);
    ASSERT_NE(short_path.find(L"~"), std::wstring::npos)
        << "the system made no short name: " << kivtest::to_ansi(short_path);
    std::wstring capitals = entry_for(target).substr(4);
    ::CharUpperBuffW(capitals.data(), static_cast<DWORD>(capitals.size()));

    ASSERT_TRUE(::MoveFileExW(short_path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(::MoveFileExW(at("unrelated.tmp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(::MoveFileExW(at("app/older.dll").c_str(), (L"\\\\?\\" + capitals).c_str(),
                              MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    std::vector<std::wstring> before = pending_strings();
    ASSERT_EQ(before.size(), 6u);
    EXPECT_NE(before[0].find(L"~"), std::wstring::npos) << kivtest::to_ansi(before[0]);
    // A deletion as some tools write it: "\\?\" rather than "\??\".
    before.insert(before.end(), {L"\\\\?\\" + capitals, L""});
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager, 0, KEY_SET_VALUE, &key), 0);
    std::wstring value;
    for (const std::wstring& text : before) {
        value += text + L'\0';
    }
    ::RegSetValueExW(key, pending, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);

    ASSERT_EQ(install("app/stale folder/long name.dll", KIVINSTALL_REPLACE), KIVCOPY_OK);
    const std::vector<std::wstring> kept = pending_strings();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], before[2]);
    EXPECT_EQ(kept[1], before[3]);

    restart();
    EXPECT_EQ(kivtest::read_file(path("app/stale folder/long name.dll")), "new bytes");
    EXPECT_FALSE(kivtest::exists(path("unrelated.tmp"))) << "another program's entry was lost";
}

}  // namespace

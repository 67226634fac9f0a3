// SPDX-License-Identifier: Zlib
// Windows only, in a Wine prefix of its own (CMakeLists.txt): a transaction
// that waits for the restart, then the restart itself (wineboot -r), which
// puts every member in place from the queue, and the recovery after it,
// which finds the transaction finished and removes its journal.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "kivcopy.h"
#include "kivtest/files.h"
#include "kivtest/restart.h"
#include "kivtest/system.h"
#include "kivtest/wide.h"
#include "kivtransaction.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class TransactionAtRestart : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        for (const char* folder : {"media", "app", "app/etc", "journal"}) {
            std::filesystem::create_directory(path(folder));
        }
        write_file(path("media/tool"), "new tool");
        write_file(path("media/lib"), "new lib");
        write_file(path("app/tool"), "old tool");
        write_file(path("app/etc/settings"), "host=old");
        kivtest::set_times(path("app/etc/settings"), {1000000000, 0}, {1000000000, 0});
    }

    std::vector<std::string> names_in(const std::string& folder) const {
        return kivtest::sorted_names(path(folder));
    }
};

// A target held without delete sharing whose install may wait makes the
// whole transaction wait (1); before the restart recovery leaves it (4);
// the restart puts every member in place, in order (a folder the
// transaction makes after the file staged inside it), and the recovery
// after it finds it done (2) and leaves nothing.
TEST_F(TransactionAtRestart, EveryMemberTakesItsPlaceAtTheRestart) {
    int transaction = 0;
    ASSERT_EQ(KivTransactionBegin(path("journal").c_str(), &transaction), KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionInstall(transaction, path("media/tool").c_str(),
                                    path("app/tool").c_str(),
                                    KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART),
              KIVCOPY_OK);
    EXPECT_EQ(KivTransactionInstall(transaction, path("media/lib").c_str(), path("app/lib").c_str(),
                                    KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    EXPECT_EQ(KivTransactionReplace(transaction, path("app/etc/settings").c_str(), "old", 3,
                                    "new", 3),
              0);
    EXPECT_EQ(KivTransactionMakeFolder(transaction, path("app/plugins").c_str()),
              KIVTRANSACTION_OK);
    EXPECT_EQ(KivTransactionInstall(transaction, path("media/lib").c_str(),
                                    path("app/plugins/p.dll").c_str(), KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    HANDLE held = ::CreateFileW(kivtest::widen(path("app/tool")).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KivTransactionCommit(transaction), KIVTRANSACTION_AT_RESTART);
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_PENDING);
    ::CloseHandle(held);
    EXPECT_EQ(read_file(path("app/tool")), "old tool");
    EXPECT_FALSE(std::filesystem::exists(path("app/lib")));
    EXPECT_FALSE(std::filesystem::exists(path("app/plugins")));

    ASSERT_TRUE(kivtest::restart_with_wineboot()) << "cannot start wineboot";
    EXPECT_EQ(read_file(path("app/tool")), "new tool");
    EXPECT_EQ(read_file(path("app/lib")), "new lib");
    EXPECT_EQ(read_file(path("app/etc/settings")), "host=new");
    EXPECT_EQ(read_file(path("app/plugins/p.dll")), "new lib");
    EXPECT_EQ(kivtest::modification_time(path("app/etc/settings")).seconds, 1000000000);
    EXPECT_EQ(names_in("journal").size(), 1u) << "the journal waits for the next call";
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_FINISHED);
    EXPECT_EQ(names_in("app"), (std::vector<std::string>{"etc", "lib", "plugins", "tool"}));
    EXPECT_EQ(names_in("app/plugins"), std::vector<std::string>{"p.dll"});
    EXPECT_EQ(names_in("app/etc"), std::vector<std::string>{"settings"});
    EXPECT_TRUE(names_in("journal").empty());
    EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
}

}  // namespace

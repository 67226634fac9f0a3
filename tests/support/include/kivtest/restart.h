/* SPDX-License-Identifier: Zlib */
// Windows under Wine only: the machine restarted as far as files go.
// wineboot -r carries out the restart entries (PendingFileRenameOperations)
// and clears them, as Windows does when it starts; run it only in a Wine
// prefix of the test's own (kiv_add_restart_test).
#ifndef KIVTEST_RESTART_H
#define KIVTEST_RESTART_H

namespace kivtest {

// Runs wineboot -r and waits for it: false where it could not be started.
bool restart_with_wineboot();

}  // namespace kivtest

#endif

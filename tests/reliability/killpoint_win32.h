/* SPDX-License-Identifier: Zlib */
// Windows only: the kill points of the crash harness's driver. Where no
// library can be preloaded, the driver points the imports of our DLLs at
// counting stand-ins for the system calls that change files, and ends its
// own process at once, before the chosen one.
#ifndef KIV_KILLPOINT_WIN32_H
#define KIV_KILLPOINT_WIN32_H

namespace kivtest {

// Arms the kill points from the environment: KIV_KILL_AT=N ends the
// process (exit code 137) just before the Nth call of our DLLs that
// changes a file or folder; KIV_KILL_TALLY=FILE, with no kill, writes the
// number of such calls to FILE when the process exits. Does nothing
// without either.
void arm_kill_points();

}  // namespace kivtest

#endif

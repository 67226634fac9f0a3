/* SPDX-License-Identifier: Zlib */
// Where a front end starts: the system's entry point (entry_posix.cpp or
// entry_win32.cpp, which the build adds to each front end) calls the front
// end's own main with its arguments as the system gives them on POSIX, and
// on Windows as the wide command line gives them, in WTF-8, so that a
// name reaches the file it names whatever the ANSI code page. On POSIX the
// process may first hold as many descriptors as the system lets it: a walk
// holds one for each level it is in.
#ifndef KIVCLI_ENTRY_H
#define KIVCLI_ENTRY_H

int front_end_main(int argc, char** argv);

#endif

/* SPDX-License-Identifier: Zlib */
// Windows only. A file held by another process while the object lives, as
// another program of the machine would hold it (kiv_hold_file): mapped for
// reading, with a lock on some of its bytes, open for writing and deleting
// with full sharing, or open for reading, sharing reading and deleting but
// not writing.
#ifndef KIVTEST_HOLDER_H
#define KIVTEST_HOLDER_H

#include <string>

#include "kivtest/system.h"

namespace kivtest {

class HeldByAnotherProcess : public Arrangement {
public:
    enum class Way { map, lock, open, read };
    HeldByAnotherProcess(Way way, const std::wstring& path);
    // The same, with the holder started from `program`, a copy of it: a
    // program running from a file that a test then replaces.
    HeldByAnotherProcess(Way way, const std::wstring& path, const std::wstring& program);
    // The holder's own program, to be copied.
    static std::wstring program();
    ~HeldByAnotherProcess();

private:
    void* process_ = nullptr;
    void* input_ = nullptr;  // the holder's standard input: closing it lets go
};

}  // namespace kivtest

#endif

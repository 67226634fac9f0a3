/* SPDX-License-Identifier: Zlib */
// Windows only. A file held by another process while the object lives, as
// another program of the machine would hold it (kiv_hold_file): mapped for
// reading, with a lock on some of its bytes, or open for writing and
// deleting with full sharing.
#ifndef KIVTEST_HOLDER_H
#define KIVTEST_HOLDER_H

#include <string>

namespace kivtest {

class HeldByAnotherProcess {
public:
    enum class Way { map, lock, open };
    HeldByAnotherProcess(Way way, const std::wstring& path);
    ~HeldByAnotherProcess();
    HeldByAnotherProcess(const HeldByAnotherProcess&) = delete;
    HeldByAnotherProcess& operator=(const HeldByAnotherProcess&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    void* process_ = nullptr;
    void* input_ = nullptr;  // the holder's standard input: closing it lets go
    std::string error_;
};

}  // namespace kivtest

#endif

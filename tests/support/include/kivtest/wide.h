/* SPDX-License-Identifier: Zlib */
// Windows only. Files named in UTF-16, for the tests of paths that the ANSI
// code page cannot write or that are longer than MAX_PATH: every helper
// takes its path to the wide functions in \\?\ form, so that it reaches
// what the libraries are asked to reach.
#ifndef KIVTEST_WIDE_H
#define KIVTEST_WIDE_H

#include <string>
#include <vector>

#include "kivtest/system.h"

namespace kivtest {

// UTF-8 text (as the test sources write it) in UTF-16.
std::wstring widen(const std::string& utf8);
// UTF-16 in the ANSI code page, '?' for what it cannot write, and back.
std::string to_ansi(const std::wstring& text);
std::wstring from_ansi(const std::string& text);
// `name` (UTF-8) in `directory`, in UTF-16.
std::wstring wide_path(const std::string& directory, const std::string& name);

void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
bool exists(const std::wstring& path);
void make_directory(const std::wstring& path);
// The names in a directory.
std::vector<std::wstring> entries(const std::wstring& directory);
// A file's modification time, and setting both of its times.
Time modification_time(const std::wstring& path);
void set_times(const std::wstring& path, Time access, Time modification);

// The path in \\?\ form (absolute paths only).
std::wstring verbatim(const std::wstring& path);

// Sets an environment variable to UTF-16 text, or unsets it, for the
// object's lifetime.
class ScopedWideEnvironment {
public:
    ScopedWideEnvironment(const wchar_t* name, const std::wstring* value);
    ~ScopedWideEnvironment();
    ScopedWideEnvironment(const ScopedWideEnvironment&) = delete;
    ScopedWideEnvironment& operator=(const ScopedWideEnvironment&) = delete;

private:
    const wchar_t* name_;
    std::wstring saved_;
    bool was_set_ = false;
};

}  // namespace kivtest

#endif

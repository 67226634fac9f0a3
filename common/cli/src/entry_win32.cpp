// SPDX-License-Identifier: Zlib
// The wide entry point (mingw's -municode): the C runtime hands over the
// command line as UTF-16, never passed through the ANSI code page, where a
// name it cannot write would become a look-alike (best fit) or '?'.
#include <string>
#include <vector>

#include "kivcli/entry.h"
#include "kivcli/wtf8.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::wstring wide(argv[i]);
        arguments.push_back(kivcli::wtf8_from_utf16(std::u16string(wide.begin(), wide.end())));
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return front_end_main(argc, pointers.data());
}

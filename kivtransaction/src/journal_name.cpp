// SPDX-License-Identifier: Zlib
// The journals' names, the same on every system: "kivtransaction-", the
// transaction's number in 16 lowercase hex digits, ".journal".
#include <algorithm>
#include <cstdio>

#include "journal_folder.h"

namespace kivtransaction {
namespace {

constexpr const char* journal_prefix = "kivtransaction-";
constexpr const char* journal_suffix = ".journal";
constexpr std::size_t journal_digits = 16;

}  // namespace

bool is_journal_name(const std::string& name) {
    const std::string prefix = journal_prefix;
    const std::string suffix = journal_suffix;
    if (name.size() != prefix.size() + journal_digits + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                       name.end() - static_cast<std::ptrdiff_t>(suffix.size()), [](char c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
}

std::string journal_name(std::uint64_t transaction) {
    char digits[journal_digits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(transaction));
    return std::string(journal_prefix) + digits + journal_suffix;
}

}  // namespace kivtransaction

// SPDX-License-Identifier: Zlib
#include "kivcli/backup_names.h"

#include <cstdlib>
#include <utility>
#include <vector>

namespace kivcli {
namespace {

struct Word {
    const char* name;
    BackupControl control;
};

const Word words[] = {
    {"none", BackupControl::none},         {"off", BackupControl::none},
    {"simple", BackupControl::simple},     {"never", BackupControl::simple},
    {"numbered", BackupControl::numbered}, {"t", BackupControl::numbered},
    {"existing", BackupControl::existing}, {"nil", BackupControl::existing},
};

// The number N of a name NAME.~N~, as its digits, and NAME; false for any
// other name. Numbers are kept as digits, of any length, so that counting
// goes on past what a machine word holds, as it must: a backup numbered one
// past the highest that wrapped or stopped would replace an older one.
bool split_numbered(const std::string& candidate, std::string& name, std::string& number) {
    if (candidate.size() < 5 || candidate.compare(candidate.size() - 1, 1, "~") != 0) {
        return false;
    }
    const std::size_t mark = candidate.rfind(".~", candidate.size() - 2);
    if (mark == std::string::npos || mark == 0 || mark + 2 >= candidate.size() - 1) {
        return false;
    }
    std::string digits = candidate.substr(mark + 2, candidate.size() - 3 - mark);
    if (digits.empty() || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    name = candidate.substr(0, mark);
    number = std::move(digits);
    return true;
}

// Whether the number written `a` is greater than the one written `b`
// (neither with leading zeros; an empty one is zero).
bool greater(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() > b.size() : a > b;
}

// The number one greater than the one written `digits`.
std::string one_more(std::string digits) {
    for (auto place = digits.rbegin(); place != digits.rend(); ++place) {
        if (*place != '9') {
            ++*place;
            return digits;
        }
        *place = '0';
    }
    return "1" + digits;
}

}  // namespace

bool read_backup_control(const std::string& word, BackupControl& control) {
    if (word.empty()) {
        return false;
    }
    std::vector<BackupControl> found;
    for (const Word& known : words) {
        if (word == known.name) {
            control = known.control;
            return true;
        }
        if (std::string(known.name).compare(0, word.size(), word) == 0) {
            found.push_back(known.control);
        }
    }
    for (const BackupControl candidate : found) {
        if (candidate != found.front()) {
            return false;  // ambiguous
        }
    }
    if (found.empty()) {
        return false;
    }
    control = found.front();
    return true;
}

BackupControl default_backup_control(std::string& problem) {
    const char* chosen = std::getenv("VERSION_CONTROL");
    BackupControl control = BackupControl::simple;
    if (chosen != nullptr && *chosen != '\0' && !read_backup_control(chosen, control)) {
        problem = std::string("VERSION_CONTROL names no backup control: ") + chosen;
        control = BackupControl::simple;
    }
    return control;
}

std::string default_backup_suffix() {
    const char* chosen = std::getenv("SIMPLE_BACKUP_SUFFIX");
    return chosen != nullptr && is_valid_backup_suffix(chosen) ? std::string(chosen) : "~";
}

// Neither separator, on any system; on Windows no ':' either, which would
// name a stream of the file (NAME:SUFFIX on NTFS), never a file beside it.
bool is_valid_backup_suffix(const std::string& suffix) {
#if defined(_WIN32)
    const char* refused = "/\\:";
#else
    const char* refused = "/\\";
#endif
    return !suffix.empty() && suffix.find_first_of(refused) == std::string::npos;
}

std::map<std::string, std::string>& BackupNames::numbered_in(Folder& folder) {
    const auto known = numbered_.find(folder.status().identity);
    if (known != numbered_.end()) {
        return known->second;
    }
    std::map<std::string, std::string>& numbers = numbered_[folder.status().identity];
    std::vector<std::string> names;
    SystemError error = 0;
    folder.names(names, error);
    for (const std::string& candidate : names) {
        std::string name;
        std::string number;
        if (split_numbered(candidate, name, number) && greater(number, numbers[name])) {
            numbers[name] = std::move(number);
        }
    }
    return numbers;
}

std::string BackupNames::backup_of(Folder& folder, const std::string& name) {
    if (policy_.control == BackupControl::simple) {
        return name + policy_.suffix;
    }
    std::map<std::string, std::string>& numbers = numbered_in(folder);
    std::string& highest = numbers[name];
    if (policy_.control == BackupControl::existing && highest.empty()) {
        return name + policy_.suffix;
    }
    highest = one_more(highest);
    return name + ".~" + highest + "~";
}

std::vector<std::string> BackupNames::originals_of(const std::string& candidate) const {
    std::vector<std::string> originals;
    if (!policy_.enabled()) {
        return originals;
    }
    const std::string& suffix = policy_.suffix;
    const bool simple_names = policy_.control != BackupControl::numbered;
    if (simple_names && candidate.size() > suffix.size() &&
        candidate.compare(candidate.size() - suffix.size(), suffix.size(), suffix) == 0) {
        originals.push_back(candidate.substr(0, candidate.size() - suffix.size()));
    }
    std::string name;
    std::string number;
    if (policy_.control != BackupControl::simple && split_numbered(candidate, name, number)) {
        originals.push_back(name);
    }
    return originals;
}

}  // namespace kivcli

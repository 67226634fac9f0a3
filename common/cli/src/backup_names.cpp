// SPDX-License-Identifier: Zlib
#include "kivcli/backup_names.h"

#include <cstdlib>
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

// The number N of a name NAME.~N~, and NAME; false for any other name.
bool split_numbered(const std::string& candidate, std::string& name, unsigned& number) {
    if (candidate.size() < 5 || candidate.compare(candidate.size() - 1, 1, "~") != 0) {
        return false;
    }
    const std::size_t mark = candidate.rfind(".~", candidate.size() - 2);
    if (mark == std::string::npos || mark == 0 || mark + 2 >= candidate.size() - 1) {
        return false;
    }
    const std::string digits = candidate.substr(mark + 2, candidate.size() - 3 - mark);
    if (digits.empty() || digits.size() > 9 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    name = candidate.substr(0, mark);
    number = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 10));
    return true;
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

std::map<std::string, unsigned>& BackupNames::numbered_in(Folder& folder) {
    const auto known = numbered_.find(folder.status().identity);
    if (known != numbered_.end()) {
        return known->second;
    }
    std::map<std::string, unsigned>& numbers = numbered_[folder.status().identity];
    std::vector<std::string> names;
    SystemError error = 0;
    folder.names(names, error);
    for (const std::string& candidate : names) {
        std::string name;
        unsigned number = 0;
        if (split_numbered(candidate, name, number) && number > numbers[name]) {
            numbers[name] = number;
        }
    }
    return numbers;
}

std::string BackupNames::backup_of(Folder& folder, const std::string& name) {
    if (policy_.control == BackupControl::simple) {
        return name + policy_.suffix;
    }
    std::map<std::string, unsigned>& numbers = numbered_in(folder);
    const auto found = numbers.find(name);
    const bool none_numbered = found == numbers.end() || found->second == 0;
    if (policy_.control == BackupControl::existing && none_numbered) {
        return name + policy_.suffix;
    }
    const unsigned next = (found == numbers.end() ? 0 : found->second) + 1;
    numbers[name] = next;
    return name + ".~" + std::to_string(next) + "~";
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
    unsigned number = 0;
    if (policy_.control != BackupControl::simple && split_numbered(candidate, name, number)) {
        originals.push_back(name);
    }
    return originals;
}

}  // namespace kivcli

// SPDX-License-Identifier: Zlib
// The walk on Windows, through the standard library's directory iterator:
// a reparse point (a symbolic link or a junction) is never entered.
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "kivcli/walk.h"

namespace kivcli {
namespace {

namespace fs = std::filesystem;

EntryKind kind_of(const fs::directory_entry& entry) {
    std::error_code error;
    const fs::file_status own = entry.symlink_status(error);
    if (fs::is_symlink(own)) {
        const fs::file_status target = entry.status(error);
        return fs::is_regular_file(target) ? EntryKind::link_to_file
               : fs::is_directory(target)  ? EntryKind::link_to_directory
                                           : EntryKind::other_link;
    }
    return fs::is_directory(own)      ? EntryKind::directory
           : fs::is_regular_file(own) ? EntryKind::file
                                      : EntryKind::other;
}

void walk_path(const fs::path& directory, const std::string& path, const Visitor& visitor) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(*it);
    }
    if (error) {
        visitor.problem(path, error.message());
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename().native() < b.path().filename().native();
    });
    for (const fs::directory_entry& found : entries) {
        std::string name;
        try {
            name = found.path().filename().string();
        } catch (...) {
            visitor.problem(path, "a name there cannot be written in the ANSI code page");
            continue;
        }
        std::error_code size_error;
        const std::uintmax_t size =
            found.is_regular_file(size_error) ? found.file_size(size_error) : 0;
        Entry entry{join_path(path, name), name, kind_of(found), 0,
                    size_error ? 0 : static_cast<std::int64_t>(size)};
        if (entry.kind != EntryKind::directory) {
            visitor.visit(entry);
            continue;
        }
        if (visitor.enter(entry)) {
            walk_path(found.path(), entry.path, visitor);
            visitor.leave(entry);
        }
    }
}

}  // namespace

std::string join_path(const std::string& directory, const std::string& name) {
    const bool separated =
        !directory.empty() && (directory.back() == '/' || directory.back() == '\\');
    return separated ? directory + name : directory + "\\" + name;
}

void walk(const std::string& root, const Visitor& visitor) {
    walk_path(fs::path(root), root, visitor);
}

}  // namespace kivcli

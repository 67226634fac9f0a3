// SPDX-License-Identifier: Zlib
// What a held directory does the same way everywhere; directory_posix.cpp and
// directory_win32.cpp open, check and read it.
#include "kivfs/directory.h"

#include <utility>

#include "kivfs/paths.h"

namespace kivfs {

std::shared_ptr<Directory> Directory::open(const std::string& path, SystemError& error) {
    std::shared_ptr<Directory> directory(new Directory());
    directory->name_ = path.empty() ? "." : path;
    directory->links_ = Links::follow;
    directory->shown_ = directory->name_;
    return directory->reopen(error) ? directory : nullptr;
}

std::shared_ptr<Directory> Directory::open_below(const std::shared_ptr<Directory>& parent,
                                           const std::string& name, SystemError& error,
                                           Links links) {
    std::shared_ptr<Directory> directory(new Directory());
    directory->parent_ = parent;
    directory->name_ = name;
    directory->links_ = links;
    directory->shown_ = parent->shown(name);
    return directory->reopen(error) ? directory : nullptr;
}

// A value moves with its handle: the directory moved from is left unopened,
// so that only one of the two closes it.
Directory::Directory(Directory&& other) noexcept {
    *this = std::move(other);
}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        release();
        parent_ = std::move(other.parent_);
        name_ = std::move(other.name_);
        entry_name_ = std::move(other.entry_name_);
        shown_ = std::move(other.shown_);
        status_ = other.status_;
        handle_ = other.handle_;
        open_ = std::exchange(other.open_, false);
        links_ = other.links_;
        known_ = other.known_;
        readable_ = other.readable_;
        settled_ = other.settled_;
        path_ = std::move(other.path_);
        owned_ = other.owned_;
        error_ = other.error_;
        unsynced_entries_ = std::exchange(other.unsynced_entries_, false);
    }
    return *this;
}

// Every opening after the first must find the very directory the first
// found: what is at its name now may have been put there by someone else.
bool Directory::take(const Status& now, SystemError& error) {
    if (known_ && now.identity != status_.identity) {
        error = replaced_meanwhile;
        return false;
    }
    if (!known_) {
        status_ = now;
        known_ = true;
    }
    open_ = true;
    return true;
}

bool Directory::vouches_for_owner_and_mode(const Status& directory, const Status& file) {
    return vouches_for_hard_link(directory, file) || only_caller_changes_names(directory);
}

NativeHandle Directory::handle() {
    SystemError ignored = 0;
    return handle(ignored);
}

std::string Directory::shown(const std::string& name) const {
    return join_shown(shown_, name);
}

std::string join_shown(const std::string& directory, const std::string& name) {
    return join(directory, name);
}

}  // namespace kivfs

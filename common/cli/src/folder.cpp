// SPDX-License-Identifier: Zlib
// What a held directory does the same way everywhere; folder_posix.cpp and
// folder_win32.cpp open, check and read it.
#include "kivcli/folder.h"

#include "kivcli/paths.h"

namespace kivcli {

std::shared_ptr<Folder> Folder::open(const std::string& path, SystemError& error) {
    std::shared_ptr<Folder> folder(new Folder());
    folder->name_ = path.empty() ? "." : path;
    folder->links_ = Links::follow;
    folder->shown_ = folder->name_;
    return folder->reopen(error) ? folder : nullptr;
}

std::shared_ptr<Folder> Folder::open_below(const std::shared_ptr<Folder>& parent,
                                           const std::string& name, SystemError& error,
                                           Links links) {
    std::shared_ptr<Folder> folder(new Folder());
    folder->parent_ = parent;
    folder->name_ = name;
    folder->links_ = links;
    folder->shown_ = parent->shown(name);
    return folder->reopen(error) ? folder : nullptr;
}

// Every opening after the first must find the very directory the first
// found: what is at its name now may have been put there by someone else.
bool Folder::take(const Status& now, SystemError& error) {
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

NativeHandle Folder::handle() {
    SystemError ignored = 0;
    return handle(ignored);
}

std::string Folder::shown(const std::string& name) const {
    return join_shown(shown_, name);
}

std::string join_shown(const std::string& directory, const std::string& name) {
    return join(directory, name);
}

}  // namespace kivcli

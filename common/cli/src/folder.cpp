// SPDX-License-Identifier: Zlib
// What a held directory does the same way everywhere; folder_posix.cpp and
// folder_win32.cpp open, check and read it.
#include "kivcli/folder.h"

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

NativeHandle Folder::handle() {
    SystemError ignored = 0;
    return handle(ignored);
}

std::string Folder::shown(const std::string& name) const {
    return join_shown(shown_, name);
}

}  // namespace kivcli

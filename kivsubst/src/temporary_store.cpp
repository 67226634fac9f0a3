// SPDX-License-Identifier: Zlib
#include "temporary_store.h"

#include <utility>

#include "kivfs/commit.h"
#include "kivfs/leftovers.h"
#include "tempname.h"

namespace kivsubst {

TemporaryStore::TemporaryStore() {
    if (!platform::directories_are_held_open) {
        return;
    }
    if (std::optional<Path> tmp = tempname::tmp_directory()) {
        directory_ = platform::Directory::open(*tmp);
    }
    if (directory_.is_open()) {
        kivfs::settle_leftovers({directory_.handle(), Path()});
    }
}

// The spares' names go while the files are still open and locked, so that
// no other call's settling meets one unlocked; then TMP is synced, as a
// batch syncs the directories where it removed its temporary files (a TMP
// that may be searched but not read cannot be, and a spare that a power
// cut brings back is left to the next call's settling).
TemporaryStore::~TemporaryStore() {
    for (Spare& spare : spares_) {
        directory_.remove(spare.name);
    }
    kivfs::SyncSet removed;
    platform::add_to(removed, directory_);
    removed.sync();
}

std::optional<TemporaryStore::Spare> TemporaryStore::take() {
    if (spares_.empty()) {
        return std::nullopt;
    }
    Spare spare = std::move(spares_.back());
    spares_.pop_back();
    return spare;
}

void TemporaryStore::give_back(Spare spare) {
    if (spare.file.is_open() && spare.file.length() <= largest_spare && spare.file.seek_to(0)) {
        spares_.push_back(std::move(spare));
    } else {
        directory_.remove(spare.name);
    }
}

}  // namespace kivsubst

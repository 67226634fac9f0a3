// SPDX-License-Identifier: Zlib
// Settling on Windows: nothing of this kind is taken there. A staged file
// is created with every kind of sharing, so a live call's cannot be told
// from a killed one's (and one may wait for the next restart), kivsubst's
// temporary file that a call kept on purpose carries no mark, and no
// private directories are made; the folder is not even read. The targets
// that an install renamed aside are settled by the install itself.
#include "leftovers_platform.h"

namespace kivfs {

// The handle's own sharing, without FILE_SHARE_DELETE, holds the file.
bool hold_while_alive(NativeHandle, NativeHandle, const Path&) {
    return true;
}

KeptHold::KeptHold(NativeHandle) {}
KeptHold::~KeptHold() = default;
KeptHold::KeptHold(KeptHold&&) noexcept {}
KeptHold& KeptHold::operator=(KeptHold&&) noexcept {
    return *this;
}
void KeptHold::release() {}

bool leave_for_the_user(NativeHandle) {
    return true;
}

bool take_back_from_the_user(NativeHandle) {
    return true;
}

namespace leftovers {

void for_each_name(const FolderToSettle&, const std::function<void(const Path&)>&) {}

void remove_file(const FolderToSettle&, const Path&, const HiddenName&) {}

void remove_private_directory(const FolderToSettle&, const Path&) {}

}  // namespace leftovers
}  // namespace kivfs

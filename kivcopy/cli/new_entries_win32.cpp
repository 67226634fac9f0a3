// SPDX-License-Identifier: Zlib
// Windows has no FIFOs, and the front end copies no symbolic links there
// (making one takes a privilege that an installer's user rarely has).
#include "new_entries.h"

namespace kivcopy_cli {

bool copy_link(Folder&, const std::string&, Folder&, const std::string&, const Keeping&,
               FileIdentity&, std::string& reason) {
    reason = "links are not copied on Windows";
    return false;
}

bool make_fifo(Folder&, const std::string&, const Keeping&, FileIdentity&, std::string& reason) {
    reason = "Windows has no FIFOs";
    return false;
}

}  // namespace kivcopy_cli

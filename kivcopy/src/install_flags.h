/* SPDX-License-Identifier: Zlib */
// What an install is allowed to do, and how it decides: KivInstallFile's
// and KivInstallFileEx's flags, and the manifest that the latter names.
#ifndef KIVCOPY_INSTALL_FLAGS_H
#define KIVCOPY_INSTALL_FLAGS_H

#include <cstdint>

namespace kivcopy {

class Manifest;

struct InstallFlags {
    bool replace = false;     // an existing target may be replaced
    bool at_restart = false;  // a target in use may be replaced at the next restart
    bool read_only = false;   // a read-only target (Windows) may be replaced, keeping the attribute
    bool by_version = false;  // an existing target is replaced only as the decision table says
    bool allow_downgrade = false;       // ... even by a lower version
    bool replace_same_version = false;  // ... or by other bytes of the same version
    // Where what is installed is recorded, and asked whether a target is
    // ours; none where null. Not owned.
    Manifest* manifest = nullptr;
};

// The flags of KivInstallFile's `flags` argument.
InstallFlags install_flags(std::int32_t flags);

}  // namespace kivcopy

#endif

/* SPDX-License-Identifier: Zlib */
// The manifest of what a product installed: a folder that the caller
// names, holding one small record per target, "kivmanifest-" and the
// SHA-256 of the target's full path in hex and ".record". A record gives
// the target's path and the SHA-256 of the bytes installed there; it is
// written before the new file takes the target's place and keeps the hash
// of the file it replaces too where that was ours, so that a crash on
// either side of the rename still finds the target ours. Each record is
// written whole under a hidden name, made durable, and renamed onto its
// name; it is read only where the caller alone can have written it (the
// journal's rule: a regular file of the caller's with one name that no one
// else may write) and names the target asked for. Anything else is as if
// there were no record: the target is then not known to be ours.
#ifndef KIVCOPY_MANIFEST_H
#define KIVCOPY_MANIFEST_H

#include <memory>
#include <string>
#include <vector>

#include "kivfs/directory.h"
#include "platform.h"
#include "sha256.h"

namespace kivcopy {

class Manifest {
public:
    // Opens the manifest folder at `path`, never through a link at its own
    // name. Null, with the system's error, where it cannot be opened.
    static std::unique_ptr<Manifest> open(const platform::PathChar* path, int& error);
    // The same for a folder the caller holds already (a transaction's
    // journal folder), which must outlive this manifest.
    explicit Manifest(kivfs::Directory folder) : folder_(std::move(folder)) {}

    // The hashes recorded for the target that `target_folder` holds as its
    // entry_name(); none where there is no record to trust.
    std::vector<Digest> recorded(kivfs::Directory& target_folder);
    // Records `hashes` (the first the file about to be installed) for that
    // target, durably. False, with the system's error.
    bool record(kivfs::Directory& target_folder, const std::vector<Digest>& hashes, int& error);

private:
    kivfs::Directory folder_;
};

// The target's full path as a record keys it: the folder's path as the
// system resolves it from the folder held (POSIX: its path in
// /proc/self/fd; Windows: its full path, upper-cased as NTFS compares
// names) and the entry name. Empty where it cannot be told.
std::string manifest_key(kivfs::Directory& target_folder);

// The record's name for a key, and its text.
std::string record_name(const std::string& key);
std::string record_text(const std::string& key, const std::vector<Digest>& hashes);
// The hashes in `text` if it is a whole record for `key`; none otherwise.
std::vector<Digest> parse_record(const std::string& text, const std::string& key);

}  // namespace kivcopy

#endif

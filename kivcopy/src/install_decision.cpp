// SPDX-License-Identifier: Zlib
// The look before an install that knows versions: the target opened
// through its folder (never through a link), both files read side by side
// once, their versions read where the bytes differ, and the manifest
// asked whether the target is ours.
#include "install_decision.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "file_version.h"
#include "manifest.h"

namespace kivcopy {
namespace {

using platform::TargetStatus;

// Big enough that reading both sides costs little more than the disk's
// time, small enough to stay in the cache beside the other side's block.
constexpr std::int64_t comparison_block = 256 * 1024;

// Reads exactly `size` bytes at `offset`; false where the file cannot be
// read or ends first (it shrank since its size was read).
bool read_exactly(kivfs::File& file, std::int64_t offset, unsigned char* buffer,
                  std::size_t size) {
    while (size > 0) {
        const std::ptrdiff_t got = file.read_at(offset, buffer, size);
        if (got <= 0) {
            return false;
        }
        buffer += got;
        offset += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// What reading both files side by side found.
struct Compared {
    bool identical = false;
    Digest source_hash{};
    Digest target_hash{};
};

// Which side a failed read was on.
enum class Failed { none, source, target };

// Reads the source (and the target, where there is one) block by block:
// whether the bytes are the same and, where `hashing`, each file's SHA-256.
// Without hashes, files of different sizes are not read at all, and the
// reading stops at the first block that differs.
Failed compare(kivfs::File& source, std::int64_t source_size, kivfs::File* target,
               std::int64_t target_size, bool hashing, Compared& compared) {
    compared.identical = target != nullptr && source_size == target_size;
    if (!compared.identical && !hashing) {
        return Failed::none;
    }
    const std::int64_t end = std::max(source_size, target != nullptr ? target_size : 0);
    // No bigger than the files, and not zeroed: a reinstall of many small
    // files would otherwise pay for fresh pages of a whole block each time.
    const auto buffer_size = static_cast<std::size_t>(std::min(end, comparison_block));
    const std::unique_ptr<unsigned char[]> ours(new unsigned char[buffer_size]);
    const std::unique_ptr<unsigned char[]> theirs(new unsigned char[buffer_size]);
    Sha256 source_hash;
    Sha256 target_hash;
    for (std::int64_t offset = 0; offset < end; offset += comparison_block) {
        const auto left = [&](std::int64_t size) {
            return static_cast<std::size_t>(
                std::clamp<std::int64_t>(size - offset, 0, comparison_block));
        };
        const std::size_t from_source = left(source_size);
        const std::size_t from_target = target != nullptr ? left(target_size) : 0;
        if (!read_exactly(source, offset, ours.get(), from_source)) {
            return Failed::source;
        }
        if (target != nullptr && !read_exactly(*target, offset, theirs.get(), from_target)) {
            return Failed::target;
        }
        if (compared.identical && std::memcmp(ours.get(), theirs.get(), from_source) != 0) {
            compared.identical = false;
            if (!hashing) {
                return Failed::none;
            }
            // Up to here the bytes were the same: the target's hash so far
            // is the source's.
            target_hash = source_hash;
        }
        if (hashing) {
            source_hash.add(ours.get(), from_source);
            if (!compared.identical) {
                target_hash.add(theirs.get(), from_target);
            }
        }
    }
    if (hashing) {
        compared.source_hash = source_hash.finish();
        compared.target_hash = compared.identical ? compared.source_hash : target_hash.finish();
    }
    return Failed::none;
}

bool holds(const std::vector<Digest>& hashes, const Digest& hash) {
    return std::find(hashes.begin(), hashes.end(), hash) != hashes.end();
}

// A version as the decision takes it: none for a file without one or one
// that is no sound image; false where its bytes could not be read.
bool version_of(kivfs::File& file, std::int64_t size, std::optional<pe::FileVersion>& version) {
    pe::FileVersion found;
    const pe::VersionRead read = file_version(file, size, found);
    if (read == pe::VersionRead::found) {
        version = found;
    }
    return read != pe::VersionRead::unreadable;
}

// The manifest's record after an install of the source: the new bytes, and
// the replaced file's where that was ours, so that the target is ours on
// either side of the rename. Empty where the record holds exactly that.
std::vector<Digest> new_record(const std::vector<Digest>& recorded, const Compared& compared,
                               bool target_ours) {
    std::vector<Digest> record{compared.source_hash};
    if (target_ours && compared.target_hash != compared.source_hash) {
        record.push_back(compared.target_hash);
    }
    const bool same = record.size() == recorded.size() &&
                      std::all_of(record.begin(), record.end(),
                                  [&](const Digest& hash) { return holds(recorded, hash); });
    return same ? std::vector<Digest>() : record;
}

}  // namespace

CopyStatus decide_install(platform::Source& source, platform::Directory& folder,
                          const TargetStatus& target, const InstallFlags& flags,
                          InstallDecision& decision, int& error) {
    kivfs::File installed;
    std::int64_t installed_size = 0;
    if (target.kind == TargetStatus::Kind::regular) {
        installed = folder.open_for_reading(folder.entry_name(), kivfs::Links::refuse);
        const std::optional<kivfs::FileStatus> status =
            installed.is_open() ? installed.status() : std::nullopt;
        if (!status || (target.identity.index != 0 && status->identity != target.identity)) {
            // Another file took the name since the look: decide on nothing.
            error = installed.is_open() ? 0 : platform::last_error();
            return CopyStatus::target_not_written;
        }
        installed_size = status->length;
    }
    Manifest* const manifest = flags.manifest;
    Compared compared;
    const Failed failed = compare(source.file, source.size, installed.is_open() ? &installed : nullptr,
                                  installed_size, manifest != nullptr, compared);
    if (failed != Failed::none) {
        error = platform::last_error();
        return failed == Failed::source ? CopyStatus::source_not_read
                                        : CopyStatus::target_not_written;
    }
    const std::vector<Digest> recorded =
        manifest != nullptr ? manifest->recorded(folder) : std::vector<Digest>();
    const bool ours = installed.is_open() && holds(recorded, compared.target_hash);
    if (flags.by_version && target.kind != TargetStatus::Kind::absent) {
        if (!compared.identical) {
            if (!version_of(source.file, source.size, decision.incoming)) {
                error = platform::last_error();
                return CopyStatus::source_not_read;
            }
            if (installed.is_open() && !version_of(installed, installed_size, decision.installed)) {
                error = platform::last_error();
                return CopyStatus::target_not_written;
            }
        }
        DecisionInput input;
        input.identical = compared.identical;
        input.versions = compare_versions(decision.incoming, decision.installed);
        input.ownership = manifest == nullptr ? Ownership::no_manifest
                          : ours              ? Ownership::ours
                                              : Ownership::not_ours;
        input.allow_downgrade = flags.allow_downgrade;
        input.replace_same_version = flags.replace_same_version;
        const DecisionRow& row = decide(input);
        decision.verdict = row.verdict;
        decision.why = row.why;
    }
    if (manifest != nullptr && (decision.verdict == Verdict::replace ||
                                decision.verdict == Verdict::already_current)) {
        decision.record = new_record(recorded, compared, ours);
    }
    if (!source.file.seek_to(0)) {
        error = platform::last_error();
        return CopyStatus::source_not_read;
    }
    return CopyStatus::copied;
}

}  // namespace kivcopy

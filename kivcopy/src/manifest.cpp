// SPDX-License-Identifier: Zlib
// The manifest's records: named by the hash of the target's key, written
// whole and renamed into place through the manifest folder held, read back
// only where trusted. A record's text:
//
//     kivmanifest 1
//     target <SHA-256 of the key, hex>
//     sha256 <hex>
//     sha256 <hex>        (where the replaced file was ours too)
#include "manifest.h"

#include <cstring>

#include "install_platform.h"
#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"
#include "kivfs/ownership.h"

namespace kivcopy {
namespace {

constexpr const char* record_header = "kivmanifest 1\n";
// A record holds at most two hashes; anything longer is no record.
constexpr std::size_t longest_record = 512;
constexpr int attempts_at_a_staged_name = 16;

std::string key_hash(const std::string& key) {
    Sha256 hash;
    hash.add(key.data(), key.size());
    return to_hex(hash.finish());
}

kivcommon::Path as_path(const std::string& ascii) {
    return kivcommon::Path(ascii.begin(), ascii.end());
}

// Reads the whole of a small file, up to `most` bytes; false for a longer
// one or a failed read.
bool read_small(kivfs::File& file, std::size_t most, std::string& text) {
    char buffer[longest_record + 1];
    std::size_t got = 0;
    while (got <= most) {
        const std::ptrdiff_t read = file.read_some(buffer + got, most + 1 - got);
        if (read < 0) {
            return false;
        }
        if (read == 0) {
            text.assign(buffer, got);
            return true;
        }
        got += static_cast<std::size_t>(read);
    }
    return false;
}

// Creates the record's staged file beside its name, exclusively, held
// against other calls' settling for as long as it is open.
kivfs::File create_staged(kivfs::Directory& folder, kivcommon::Path& staged, int& error) {
    for (int attempt = 0; attempt < attempts_at_a_staged_name; ++attempt) {
        staged = kivfs::hidden_name_for(folder.entry_name(), kivfs::staged_kind);
        kivfs::Creation creation = kivfs::Creation::failed;
        kivfs::File file = folder.create_new(staged, creation);
        if (creation == kivfs::Creation::created) {
            if (kivfs::hold_while_alive(file.handle(), folder.handle(), staged)) {
                return file;
            }
            file.close();
            continue;
        }
        if (creation == kivfs::Creation::failed) {
            break;
        }
    }
    error = platform::last_error();
    return kivfs::File();
}

}  // namespace

std::string record_name(const std::string& key) {
    return "kivmanifest-" + key_hash(key) + ".record";
}

std::string record_text(const std::string& key, const std::vector<Digest>& hashes) {
    std::string text = record_header;
    text += "target " + key_hash(key) + "\n";
    for (const Digest& hash : hashes) {
        text += "sha256 " + to_hex(hash) + "\n";
    }
    return text;
}

std::vector<Digest> parse_record(const std::string& text, const std::string& key) {
    const std::string head = std::string(record_header) + "target " + key_hash(key) + "\n";
    if (text.compare(0, head.size(), head) != 0) {
        return {};
    }
    constexpr std::size_t line_size = 7 + 64 + 1;  // "sha256 ", the digest, "\n"
    const std::size_t rest = text.size() - head.size();
    if (rest == 0 || rest % line_size != 0 || rest / line_size > 2) {
        return {};
    }
    std::vector<Digest> hashes;
    for (std::size_t at = head.size(); at < text.size(); at += line_size) {
        Digest digest;
        if (text.compare(at, 7, "sha256 ") != 0 || text[at + line_size - 1] != '\n' ||
            !from_hex(text.substr(at + 7, 64), digest)) {
            return {};
        }
        hashes.push_back(digest);
    }
    return hashes;
}

std::unique_ptr<Manifest> Manifest::open(const platform::PathChar* path, int& error) {
    kivfs::Directory folder = kivfs::Directory::open(kivcommon::Path(path));
    if (!folder.is_open()) {
        error = platform::last_error();
        return nullptr;
    }
    return std::make_unique<Manifest>(std::move(folder));
}

std::vector<Digest> Manifest::recorded(kivfs::Directory& target_folder) {
    const std::string key = manifest_key(target_folder);
    if (key.empty()) {
        return {};
    }
    kivfs::File file = folder_.open_for_reading(as_path(record_name(key)), kivfs::Links::refuse);
    std::string reason;
    std::string text;
    if (!file.is_open() || !kivfs::trusted_as_callers_own(file.handle(), reason) ||
        !read_small(file, longest_record, text)) {
        return {};
    }
    return parse_record(text, key);
}

// The record is staged and renamed onto its name as an install puts a
// file in place, so that a record is always whole: the old one or the new.
bool Manifest::record(kivfs::Directory& target_folder, const std::vector<Digest>& hashes,
                      int& error) {
    const std::string key = manifest_key(target_folder);
    if (key.empty()) {
        error = platform::last_error();
        return false;
    }
    kivfs::SystemError lending = 0;
    const std::shared_ptr<kivfs::Directory> at =
        kivfs::Directory::lent_for(folder_, as_path(record_name(key)), lending);
    if (at == nullptr) {
        error = static_cast<int>(lending);
        return false;
    }
    if (folder_.first_to_settle()) {
        platform::settle_leftovers(*at);
    }
    kivcommon::Path staged;
    kivfs::File file = create_staged(*at, staged, error);
    if (!file.is_open()) {
        return false;
    }
    const kivfs::KeptHold hold(file.handle());
    const std::string text = record_text(key, hashes);
    if (!file.write_all(text.data(), text.size()) || !file.sync() || !file.close()) {
        error = platform::last_error();
        file.close();
        platform::remove_staged(*at, staged);
        return false;
    }
    if (platform::put_in_place(*at, staged, true, error) != platform::Placing::placed) {
        platform::remove_staged(*at, staged);
        return false;
    }
    return platform::make_entry_durable(*at, error);
}

}  // namespace kivcopy

// SPDX-License-Identifier: Zlib
#include "journal.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "kivfs/hidden_names.h"
#include "kivfs/wtf8.h"

namespace kivtransaction::journal {
namespace {

using kivcommon::Path;
using kivcommon::PathChar;

// The records' types, as the byte after each record's length.
enum RecordType : std::uint8_t {
    header_type = 1,
    intent_type = 2,
    ready_type = 3,
    commit_type = 4,
    restart_commit_type = 5,
};

// What a record adds to its payload: the payload's length (4 bytes), the
// type (1) and the CRC-32 (4).
constexpr std::size_t frame_bytes = 9;

constexpr char magic[8] = {'K', 'I', 'V', 'J', 'R', 'N', 'L', '\0'};
constexpr std::uint8_t version = 1;
constexpr std::int32_t nanoseconds_per_second = 1000000000;

// The CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), one byte a
// step through a table of each byte's remainder, made once at compile time.
struct CrcTable {
    std::uint32_t entries[256] = {};
    constexpr CrcTable() {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t remainder = byte;
            for (int bit = 0; bit < 8; ++bit) {
                remainder = (remainder & 1u) != 0 ? (remainder >> 1) ^ 0xEDB88320u : remainder >> 1;
            }
            entries[byte] = remainder;
        }
    }
};
constexpr CrcTable crc_table;

// The CRC of a record: over its type byte and then its payload.
std::uint32_t record_crc(std::uint8_t type, const unsigned char* payload, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    const auto step = [&crc](unsigned char byte) {
        crc = crc_table.entries[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
    };
    step(type);
    for (std::size_t at = 0; at < size; ++at) {
        step(payload[at]);
    }
    return crc ^ 0xFFFFFFFFu;
}

// A record's payload as it is written: each field appended little-endian.
class Payload {
public:
    void u8(std::uint8_t value) { bytes_ += static_cast<char>(value); }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    void text(const std::string& value) {
        u32(static_cast<std::uint32_t>(value.size()));
        bytes_ += value;
    }
    void file_id(const FileId& id) {
        u64(id.volume);
        u64(id.index);
    }
    void time(const Time& value) {
        i64(value.seconds);
        i32(value.nanoseconds);
    }

    // The whole record: length, type, this payload and the CRC.
    std::string framed(std::uint8_t type) const {
        Payload record;
        record.u32(static_cast<std::uint32_t>(bytes_.size()));
        record.u8(type);
        record.bytes_ += bytes_;
        record.u32(record_crc(type, reinterpret_cast<const unsigned char*>(bytes_.data()),
                              bytes_.size()));
        return std::move(record.bytes_);
    }

private:
    void little_endian(std::uint64_t value, int bytes) {
        for (int at = 0; at < bytes; ++at) {
            bytes_ += static_cast<char>((value >> (8 * at)) & 0xFFu);
        }
    }

    std::string bytes_;
};

// A record's payload as it is read. Each field is taken only where the
// payload still holds all of it; the first that does not fit makes every
// later one fail too, so that a record's fields are read in one go and
// checked once at the end. A string's length is compared with what is
// left before anything is allocated for it.
class Fields {
public:
    Fields(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(little_endian(1)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little_endian(4)); }
    std::uint64_t u64() { return little_endian(8); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    std::string text() {
        const std::uint32_t length = u32();
        if (!whole_ || length > size_ - at_) {
            whole_ = false;
            return std::string();
        }
        std::string value(reinterpret_cast<const char*>(bytes_ + at_), length);
        at_ += length;
        return value;
    }
    FileId file_id() {
        FileId id;
        id.volume = u64();
        id.index = u64();
        return id;
    }
    Time time() {
        Time value;
        value.seconds = i64();
        value.nanoseconds = i32();
        return value;
    }

    // Whether every field fitted and nothing is left after the last.
    bool exactly_read() const { return whole_ && at_ == size_; }

private:
    std::uint64_t little_endian(std::size_t bytes) {
        if (!whole_ || bytes > size_ - at_) {
            whole_ = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t at = 0; at < bytes; ++at) {
            value |= std::uint64_t{bytes_[at_ + at]} << (8 * at);
        }
        at_ += bytes;
        return value;
    }

    const unsigned char* bytes_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool whole_ = true;
};

// A name from the journal as the system takes it: the bytes themselves on
// POSIX; on Windows the UTF-16 units of its WTF-8, and nothing for bytes
// that are no WTF-8 (which no name of ours was written as).
std::optional<Path> system_name(const std::string& name) {
#if defined(_WIN32)
    std::u16string units;
    if (!kivfs::utf16_from_wtf8(name, units)) {
        return std::nullopt;
    }
    return Path(units.begin(), units.end());
#else
    return name;
#endif
}

#if defined(_WIN32)
constexpr const char* separators = "\\/";
#else
constexpr const char* separators = "/";
#endif

// Whether `folder` is a whole path of this system, from its root: "/" on
// POSIX; on Windows a drive ("X:\") or a server ("\\server"), not the
// "\\?\" or "\\.\" forms that pass the system's own reading of a path by.
// No component may be "." or "..", so that the path names the folder it
// spells and no other; no NUL may cut it short. The record's own bound
// keeps it within most_record_bytes.
bool is_whole_path(const std::string& folder) {
    if (folder.find('\0') != std::string::npos || !system_name(folder)) {
        return false;
    }
#if defined(_WIN32)
    const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    std::size_t from = 0;
    if (folder.size() >= 3 && is_letter(folder[0]) && folder[1] == ':' && folder[2] == '\\') {
        from = 3;
    } else if (folder.size() >= 3 && folder[0] == '\\' && folder[1] == '\\') {
        const std::size_t server_end = std::min(folder.find_first_of(separators, 2), folder.size());
        const std::string server = folder.substr(2, server_end - 2);
        if (server.empty() || server == "?") {
            return false;
        }
        from = 2;
    } else {
        return false;
    }
#else
    if (folder.empty() || folder[0] != '/') {
        return false;
    }
    const std::size_t from = 1;
#endif
    for (std::size_t start = from; start <= folder.size();) {
        const std::size_t end = std::min(folder.find_first_of(separators, start), folder.size());
        const std::string component = folder.substr(start, end - start);
        if (component == "." || component == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// Whether `target` is a plain name in its folder: not empty, not "." or
// "..", without a NUL or a separator. On Windows also no ":", which would
// name a stream of another file, and no "." or space at the end, which the
// system drops from a name, so that the name would stand for another.
bool is_plain_name(const std::string& target) {
#if defined(_WIN32)
    const char forbidden[] = {'\0', '/', '\\', ':'};
    if (!target.empty() && (target.back() == '.' || target.back() == ' ')) {
        return false;
    }
#else
    const char forbidden[] = {'\0', '/'};
#endif
    if (target.empty() || target == "." || target == ".." || !system_name(target)) {
        return false;
    }
    for (const char c : forbidden) {
        if (target.find(c) != std::string::npos) {
            return false;
        }
    }
    return true;
}

// Whether `staged` is a name that hidden_name_for(target, transaction_kind)
// makes: the stem it makes for that target, whole or cut where it cuts it,
// and then 16 digits. Recovery removes or renames the staged file, so a
// journal must not be able to point it at any other name in the folder.
bool is_staged_name_for(const std::string& staged, const std::string& target) {
    const std::optional<Path> staged_name = system_name(staged);
    const std::optional<Path> target_name = system_name(target);
    if (!staged_name || !target_name) {
        return false;
    }
    const std::optional<kivfs::HiddenName> parsed = kivfs::parse_hidden_name(*staged_name);
    if (!parsed || !parsed->is(kivfs::transaction_kind)) {
        return false;
    }
    const Path stem = kivfs::hidden_stem_for(*target_name, kivfs::transaction_kind);
    return staged_name->size() == stem.size() + 16 &&
           staged_name->compare(0, stem.size(), stem) == 0;
}

std::string record_name(std::size_t number) {
    return "record " + std::to_string(number);
}

// The reader's state as it walks the records: what it has taken so far,
// and each record's checks against its payload and its place.
class Reader {
public:
    // Takes one complete record whose CRC matched; its number counts the
    // header as record 1. An empty reason means the record was taken.
    std::string take(std::size_t number, std::uint8_t type, const unsigned char* payload,
                     std::size_t size) {
        Fields fields(payload, size);
        if (number == 1) {
            return type == header_type ? take_header(fields) : "the journal has no header";
        }
        switch (type) {
        case header_type:
            return record_name(number) + " is a second header";
        case intent_type:
            return take_intent(number, fields);
        case ready_type:
            return take_ready(number, fields);
        case commit_type:
        case restart_commit_type:
            return take_commit(number, fields, type == restart_commit_type);
        default:
            return record_name(number) + " is of an unknown type (" + std::to_string(type) + ")";
        }
    }

    Contents& contents() { return contents_; }

private:
    std::string take_header(Fields& fields) {
        char found[sizeof magic] = {};
        for (char& c : found) {
            c = static_cast<char>(fields.u8());
        }
        const std::uint8_t found_version = fields.u8();
        contents_.header.transaction = fields.u64();
        if (!fields.exactly_read() || std::memcmp(found, magic, sizeof magic) != 0) {
            return "the journal's header is not this system's";
        }
        if (found_version != version) {
            return "the journal is of another version (" + std::to_string(found_version) + ")";
        }
        return std::string();
    }

    std::string take_intent(std::size_t number, Fields& fields) {
        if (!contents_.ready.empty()) {
            return record_name(number) + " is an intent after a ready record";
        }
        if (contents_.intents.size() == most_members) {
            return "the journal has more than " + std::to_string(most_members) + " members";
        }
        Intent intent;
        const std::uint8_t kind = fields.u8();
        intent.folder = fields.text();
        intent.folder_id = fields.file_id();
        intent.target = fields.text();
        intent.staged = fields.text();
        intent.flags = fields.u32();
        if (!fields.exactly_read()) {
            return record_name(number) + " is not an intent's size";
        }
        const std::string member = "member " + std::to_string(contents_.intents.size());
        if (kind != static_cast<std::uint8_t>(MemberKind::install) &&
            kind != static_cast<std::uint8_t>(MemberKind::patch) &&
            kind != static_cast<std::uint8_t>(MemberKind::folder)) {
            return "the kind of " + member + " is unknown (" + std::to_string(kind) + ")";
        }
        intent.kind = static_cast<MemberKind>(kind);
        if (intent.kind == MemberKind::folder && intent.flags != 0) {
            return "the folder " + member + " has flags";
        }
        if (!is_whole_path(intent.folder)) {
            return "the folder of " + member + " is not a whole path";
        }
        if (!is_plain_name(intent.target)) {
            return "the target of " + member + " is not a plain name";
        }
        if (!is_staged_name_for(intent.staged, intent.target)) {
            return "the staged name of " + member +
                   " is not a transaction's hidden name for its target";
        }
        contents_.intents.push_back(std::move(intent));
        return std::string();
    }

    std::string take_ready(std::size_t number, Fields& fields) {
        Ready ready;
        ready.member = fields.u32();
        ready.staged_id = fields.file_id();
        ready.staged_size = fields.u64();
        const std::uint8_t existed = fields.u8();
        ready.target_id = fields.file_id();
        ready.accessed = fields.time();
        ready.modified = fields.time();
        if (!fields.exactly_read()) {
            return record_name(number) + " is not a ready record's size";
        }
        if (ready.member != contents_.ready.size()) {
            return record_name(number) + " is ready for member " + std::to_string(ready.member) +
                   " where member " + std::to_string(contents_.ready.size()) + " is next";
        }
        if (ready.member >= contents_.intents.size()) {
            return record_name(number) + " is ready for member " + std::to_string(ready.member) +
                   ", which has no intent";
        }
        if (existed > 1) {
            return record_name(number) + " says neither that the target existed nor not";
        }
        ready.target_existed = existed == 1;
        if (ready.target_existed && contents_.intents[ready.member].kind == MemberKind::folder) {
            return record_name(number) + " makes a folder ready for a target that existed";
        }
        for (const Time& time : {ready.accessed, ready.modified}) {
            if (time.nanoseconds < 0 || time.nanoseconds >= nanoseconds_per_second) {
                return record_name(number) + " has a time whose nanoseconds are out of range";
            }
        }
        contents_.ready.push_back(ready);
        return std::string();
    }

    std::string take_commit(std::size_t number, Fields& fields, bool at_restart) {
        const std::uint32_t members = fields.u32();
        if (!fields.exactly_read()) {
            return record_name(number) + " is not a commit record's size";
        }
        if (members != contents_.intents.size() || members != contents_.ready.size()) {
            return "the commit record counts " + std::to_string(members) + " members where " +
                   std::to_string(contents_.intents.size()) + " have intents and " +
                   std::to_string(contents_.ready.size()) + " are ready";
        }
        contents_.committed = true;
        contents_.at_restart = at_restart;
        return std::string();
    }

    Contents contents_;
};

Reading refused(std::string reason) {
    Reading reading;
    reading.verdict = Reading::Verdict::refused;
    reading.reason = std::move(reason);
    return reading;
}

Reading unwritten() {
    Reading reading;
    reading.verdict = Reading::Verdict::unwritten;
    reading.reason = "the journal's making was cut off before its header was whole";
    return reading;
}

Reading readable(Contents&& contents) {
    Reading reading;
    reading.verdict = Reading::Verdict::readable;
    reading.contents = std::move(contents);
    return reading;
}

}  // namespace

bool Intent::operator==(const Intent& other) const {
    return kind == other.kind && folder == other.folder && folder_id == other.folder_id &&
           target == other.target && staged == other.staged && flags == other.flags;
}

bool Ready::operator==(const Ready& other) const {
    return member == other.member && staged_id == other.staged_id &&
           staged_size == other.staged_size && target_existed == other.target_existed &&
           target_id == other.target_id && accessed == other.accessed &&
           modified == other.modified;
}

std::string header_record(const Header& header) {
    Payload payload;
    for (const char c : magic) {
        payload.u8(static_cast<std::uint8_t>(c));
    }
    payload.u8(version);
    payload.u64(header.transaction);
    return payload.framed(header_type);
}

std::string intent_record(const Intent& intent) {
    Payload payload;
    payload.u8(static_cast<std::uint8_t>(intent.kind));
    payload.text(intent.folder);
    payload.file_id(intent.folder_id);
    payload.text(intent.target);
    payload.text(intent.staged);
    payload.u32(intent.flags);
    return payload.framed(intent_type);
}

std::string ready_record(const Ready& ready) {
    Payload payload;
    payload.u32(ready.member);
    payload.file_id(ready.staged_id);
    payload.u64(ready.staged_size);
    payload.u8(ready.target_existed ? 1 : 0);
    payload.file_id(ready.target_id);
    payload.time(ready.accessed);
    payload.time(ready.modified);
    return payload.framed(ready_type);
}

std::string commit_record(std::uint32_t members, bool at_restart) {
    Payload payload;
    payload.u32(members);
    return payload.framed(at_restart ? restart_commit_type : commit_type);
}

namespace {

std::uint32_t little_endian_u32(const unsigned char* bytes) {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 4; ++shift) {
        value |= std::uint32_t{bytes[shift]} << (8 * shift);
    }
    return value;
}

// The record at `at`, when its frame is whole: its length fits the bytes
// left and the most a record may be, and its CRC matches.
struct Frame {
    bool whole = false;
    std::uint8_t type = 0;
    const unsigned char* payload = nullptr;
    std::uint32_t length = 0;
    std::size_t next = 0;
};

Frame frame_at(const unsigned char* bytes, std::size_t size, std::size_t at) {
    Frame frame;
    const std::size_t left = size - at;
    if (left < frame_bytes) {
        return frame;
    }
    frame.length = little_endian_u32(bytes + at);
    if (frame.length > most_record_bytes || frame.length > left - frame_bytes) {
        return frame;
    }
    frame.type = bytes[at + 4];
    frame.payload = bytes + at + 5;
    frame.next = at + frame_bytes + frame.length;
    frame.whole = little_endian_u32(frame.payload + frame.length) ==
                  record_crc(frame.type, frame.payload, frame.length);
    return frame;
}

// Whether a whole commit record begins anywhere from `from` on: a damaged
// record that such a record follows was damaged after it was written, not
// cut off in its append.
bool commit_record_from(const unsigned char* bytes, std::size_t size, std::size_t from) {
    constexpr std::uint32_t commit_payload = 4;
    for (std::size_t at = from; at < size && size - at >= frame_bytes + commit_payload; ++at) {
        if (little_endian_u32(bytes + at) != commit_payload ||
            (bytes[at + 4] != commit_type && bytes[at + 4] != restart_commit_type)) {
            continue;  // a cheap look before the CRC
        }
        const Frame frame = frame_at(bytes, size, at);
        if (frame.whole) {
            return true;
        }
    }
    return false;
}

// The bytes of a header record: what a journal holds once its making is done.
constexpr std::size_t header_bytes = frame_bytes + sizeof magic + 1 + 8;

}  // namespace

// Walks the records from the start. Every length is compared with what is
// left of the bytes before it is used, so no sum can pass the end, on a
// 32-bit system too. The journal is appended to one record (or, for the
// ready records, one batch) at a time and synced after each, so a crash can
// damage only the bytes of the last append: its records cut short, or
// holding what the disk had there before (zeros, garbage, lengths without
// their bytes). From the first record that is not whole on, the rest is
// that tail, and dropped, unless a commit record came before it (nothing is
// appended after one) or a whole commit record follows it (then the damage
// came after the writing). A journal no longer than its header that holds
// no whole header is one whose making was cut off: nothing was recorded in
// it. Anything else that is not what the writers write refuses the whole
// journal.
Reading read(const unsigned char* bytes, std::size_t size) {
    Reader reader;
    std::size_t at = 0;
    for (std::size_t number = 1; at < size; ++number) {
        if (reader.contents().committed) {
            return refused("bytes follow the commit record");
        }
        const Frame frame = frame_at(bytes, size, at);
        if (!frame.whole) {
            if (number == 1) {
                return size <= header_bytes ? unwritten() : refused("the journal's header is damaged");
            }
            if (commit_record_from(bytes, size, at + 1)) {
                return refused(record_name(number) + " is damaged and a commit record follows it");
            }
            break;
        }
        std::string reason = reader.take(number, frame.type, frame.payload, frame.length);
        if (!reason.empty()) {
            return refused(std::move(reason));
        }
        at = frame.next;
    }
    if (at == 0) {
        return unwritten();
    }
    return readable(std::move(reader.contents()));
}

}  // namespace kivtransaction::journal

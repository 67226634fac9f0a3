// SPDX-License-Identifier: Zlib
// A transaction's journal as bytes: the records that a transaction appends
// to its journal file, each made durable before the step it announces,
// and the reader that recovery trusts with a file found on disk. Nothing
// here touches a file.
//
// The journal is a header and then records, in this order: one intent for
// each member, written before the member's staged file is created (so that
// every staged file that can exist is recorded); at commit, one ready
// record for each member, with what the staged file and its target are;
// then the commit record, alone, whose presence decides: without it,
// recovery removes what was staged (every target old); with it, recovery
// finishes every member (every target new).
//
// Each record is framed as: its payload's length (4 bytes), its type (1
// byte), the payload, and a CRC-32 of the type and payload (4 bytes);
// integers are little-endian, strings a 4-byte length and their bytes.
// The reader takes the bytes from the first record that is not whole (cut
// short, too long, or with a CRC that fails) to the end as the tail of an
// append cut off by a crash, unless a commit record came before them or a
// whole commit record lies among them; anything else that is not exactly
// what the writer writes refuses the journal.
#ifndef KIVTRANSACTION_JOURNAL_H
#define KIVTRANSACTION_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivtransaction::journal {

// What a member does to its target once the transaction commits.
enum class MemberKind : std::uint8_t {
    install = 1,  // the staged file is renamed onto the target
    patch = 2,    // the staged file's bytes are written back over the target
    folder = 3,   // a folder made under the staged name, renamed onto the target once the
                  // members inside it are in place
};

// A file's identity on its volume: st_dev and st_ino (POSIX), the volume's
// serial number and the file's ID (Windows).
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId& other) const {
        return volume == other.volume && index == other.index;
    }
};

// A time as seconds and nanoseconds since 1970 (before it: negative
// seconds, nanoseconds still 0 to 999,999,999).
struct Time {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
    bool operator==(const Time& other) const {
        return seconds == other.seconds && nanoseconds == other.nanoseconds;
    }
};

struct Header {
    std::uint64_t transaction = 0;  // a random number that names the transaction
    bool operator==(const Header& other) const { return transaction == other.transaction; }
};

// Written before a member's staged file (or a folder member's folder) is
// created. A member inside a folder that its transaction makes records
// that folder as the folder member's folder joined with its staged name.
struct Intent {
    MemberKind kind = MemberKind::install;
    // The target's folder as a whole path in the system's form (POSIX: from
    // "/"; Windows: WTF-8 of "X:\..." or "\\server\share\..."), and its
    // identity when the member was staged.
    std::string folder;
    FileId folder_id;
    std::string target;  // the target's name in the folder
    std::string staged;  // the staged file's hidden name in the folder
    std::uint32_t flags = 0;
    bool operator==(const Intent& other) const;
};

// Written at commit for each member, before the commit record.
struct Ready {
    std::uint32_t member = 0;  // the index of the member's intent
    FileId staged_id;          // the staged file, whole and durable
    std::uint64_t staged_size = 0;
    // The target as the member found it: whether it existed, its identity,
    // and (a patch) the times it keeps.
    bool target_existed = false;
    FileId target_id;
    Time accessed;
    Time modified;
    bool operator==(const Ready& other) const;
};

// Everything a journal holds, as the reader found it.
struct Contents {
    Header header;
    std::vector<Intent> intents;
    std::vector<Ready> ready;  // in member order: ready[i].member == i
    bool committed = false;
    bool at_restart = false;  // committed to be put in place at the next restart (Windows)
};

// The records, as the bytes appended to the file for each.
std::string header_record(const Header& header);
std::string intent_record(const Intent& intent);
std::string ready_record(const Ready& ready);
// The commit record names how many members it commits; one of another
// type says that they are put in place at the next restart.
std::string commit_record(std::uint32_t members, bool at_restart = false);

// What the reader made of a journal's bytes.
struct Reading {
    enum class Verdict {
        readable,   // `contents` holds it (a cut-off last append ignored)
        unwritten,  // its making was cut off: nothing was recorded in it
        refused,    // not a journal this system wrote: `reason` says why
    };
    Verdict verdict = Verdict::refused;
    Contents contents;
    std::string reason;
};

// Reads a whole journal. Unwritten: empty, or no longer than a header and
// holding no whole one. Refused: a damaged header with more bytes after
// it, or a foreign one; a whole record of an unknown type, out of its
// order, or with a payload that is not exactly its type's; a folder member
// with flags, or made ready for a target that existed; a damaged record
// that a whole commit record follows; anything after the commit record; a commit record that does not follow exactly
// one ready record for each intent, in member order; an intent whose
// folder is not a whole path of this system, whose target is not a plain
// name (empty, ".", "..", or holding a separator or a NUL), or whose
// staged name is not a transaction's hidden name for that target
// (kivfs/hidden_names.h); more than most_members intents.
Reading read(const unsigned char* bytes, std::size_t size);

inline constexpr std::uint32_t most_members = 65536;
inline constexpr std::uint32_t most_record_bytes = 1U << 20;

}  // namespace kivtransaction::journal

#endif

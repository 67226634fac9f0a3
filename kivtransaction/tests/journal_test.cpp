// SPDX-License-Identifier: Zlib
// The journal's records as the writers frame them and the reader takes them
// back: whole, cut off anywhere by a crash, with any byte changed, and each
// kind of journal it refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal.h"
#include "kivfs/hidden_names.h"
#include "kivfs/wtf8.h"

namespace {

namespace journal = kivtransaction::journal;
using journal::MemberKind;
using journal::Reading;

// The test's own CRC-32 (IEEE 802.3, a bit at a time) and framing, to write
// records that the writers would not.
std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) != 0 ? 0xEDB88320u : 0u);
        }
    }
    return ~crc;
}
std::string le(std::uint64_t value, int bytes) {
    std::string out;
    for (int at = 0; at < bytes; ++at) {
        out += static_cast<char>((value >> (8 * at)) & 0xFFu);
    }
    return out;
}
std::string frame(std::uint8_t type, const std::string& payload) {
    const std::string typed = static_cast<char>(type) + payload;
    return le(payload.size(), 4) + typed + le(crc32(typed), 4);
}
std::string payload_of(const std::string& record) {
    return record.substr(5, record.size() - 9);
}

#if defined(_WIN32)
const std::string folder = "C:\\Program Files\\kiv";
const std::string root = "\\\\server\\share";
#else
const std::string folder = "/opt/kiv";
const std::string root = "/";
#endif

std::string staged_for(const std::string& target, const char* kind = kivfs::transaction_kind) {
#if defined(_WIN32)
    return kivfs::wtf8_from_wide(kivfs::hidden_name_for(kivfs::wide_from_wtf8(target), kind));
#else
    return kivfs::hidden_name_for(target, kind);
#endif
}

journal::Intent intent(MemberKind kind, const std::string& target, const std::string& in = folder) {
    return {kind, in, {7, 42}, target, staged_for(target), 3};
}

journal::Ready ready(std::uint32_t member) {
    return {member, {7, 100 + member}, 4096 * member, member % 2 == 0, {7, 200 + member},
            {-5, 999999999}, {1700000000, 123}};
}

// A committed journal of three members, record by record, with the contents
// the reader is to find in the records up to each. The last target is 255
// bytes long with a two-byte character where its staged name cuts it.
struct Sample {
    std::vector<std::string> records;
    std::vector<journal::Contents> after;
    std::string bytes;
};

Sample sample() {
    Sample made;
    journal::Contents contents;
    const auto add = [&](const std::string& record) {
        made.records.push_back(record);
        made.after.push_back(contents);
        made.bytes += record;
    };
    contents.header.transaction = 0x0123456789ABCDEFull;
    add(journal::header_record(contents.header));
    const std::string long_name = std::string(227, 'a') + "\xC3\xA9" + std::string(26, 'z');
    for (const journal::Intent& member :
         {intent(MemberKind::install, "setup.dll"), intent(MemberKind::patch, "app.ini", root),
          intent(MemberKind::install, long_name)}) {
        contents.intents.push_back(member);
        add(journal::intent_record(member));
    }
    for (std::uint32_t member = 0; member < 3; ++member) {
        contents.ready.push_back(ready(member));
        add(journal::ready_record(contents.ready.back()));
    }
    contents.committed = true;
    add(journal::commit_record(3));
    return made;
}

Reading read(const std::string& bytes) {
    return journal::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void expect_reads_as(const std::string& bytes, const journal::Contents& expected) {
    const Reading reading = read(bytes);
    ASSERT_EQ(reading.verdict, Reading::Verdict::readable) << reading.reason;
    EXPECT_EQ(reading.contents.header, expected.header);
    EXPECT_EQ(reading.contents.intents, expected.intents);
    EXPECT_EQ(reading.contents.ready, expected.ready);
    EXPECT_EQ(reading.contents.committed, expected.committed);
    EXPECT_EQ(reading.contents.at_restart, expected.at_restart);
}

testing::AssertionResult refused(const std::string& bytes, const std::string& phrase) {
    const Reading reading = read(bytes);
    if (reading.verdict == Reading::Verdict::readable) {
        return testing::AssertionFailure()
               << "read as readable, not refused for \"" << phrase << '"';
    }
    if (reading.reason.find(phrase) == std::string::npos) {
        return testing::AssertionFailure() << "refused for \"" << reading.reason << '"';
    }
    return testing::AssertionSuccess();
}

TEST(JournalRecords, AreFramedWithLengthTypePayloadAndTheIeeeCrc32) {
    ASSERT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(journal::commit_record(3), frame(4, le(3, 4)));
    EXPECT_EQ(journal::commit_record(3, true), frame(5, le(3, 4)));
    EXPECT_EQ(journal::header_record({0x0102030405060708ull}),
              frame(1, std::string("KIVJRNL\0\x01", 9) + le(0x0102030405060708ull, 8)));
}

TEST(JournalReader, ReadsBackWhatTheWritersWroteAndAnEmptyCommit) {
    const Sample journal = sample();
    expect_reads_as(journal.bytes, journal.after.back());
    const journal::Intent& cut = journal.after.back().intents[2];
    EXPECT_EQ(cut.staged.find(cut.target), std::string::npos) << "the staged name is not cut";
    journal::Contents empty;
    empty.committed = true;
    expect_reads_as(journal::header_record({}) + journal::commit_record(0), empty);
    empty.at_restart = true;
    expect_reads_as(journal::header_record({}) + journal::commit_record(0, true), empty);
}

TEST(JournalReader, TakesEveryCutOrBadLastChecksumAsTheRecordsBeforeAndOnlyTheWholeAsCommitted) {
    const Sample journal = sample();
    const std::string& bytes = journal.bytes;
    std::size_t whole = 0;
    std::size_t end = 0;
    for (std::size_t cut = journal.records[0].size(); cut <= bytes.size(); ++cut) {
        while (whole < journal.records.size() && end + journal.records[whole].size() <= cut) {
            end += journal.records[whole++].size();
        }
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expect_reads_as(bytes.substr(0, cut), journal.after[whole - 1]);
    }
    std::string torn = bytes;
    torn.back() = static_cast<char>(torn.back() ^ 1);
    expect_reads_as(torn, journal.after[journal.after.size() - 2]);
}

TEST(JournalReader, NeverTakesAChangedByteForADifferentCommittedJournal) {
    const Sample journal = sample();
    const std::string& bytes = journal.bytes;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (const unsigned flip : {0x01u, 0x10u, 0x80u, 0xFFu}) {
            std::string changed = bytes;
            changed[at] = static_cast<char>(static_cast<unsigned char>(changed[at]) ^ flip);
            const Reading reading = read(changed);
            if (reading.verdict == Reading::Verdict::readable && reading.contents.committed) {
                SCOPED_TRACE("byte " + std::to_string(at) + " flipped by " + std::to_string(flip));
                expect_reads_as(changed, journal.after.back());
            }
        }
    }
}

// A journal whose making was cut off before its header was durable holds
// no more than a header's room of bytes, none of them a whole header: it
// recorded nothing. More than that, or a foreign header, is refused.
TEST(JournalReader, TakesACutOffHeaderAsUnwrittenAndRefusesAForeignOne) {
    const std::string header = journal::header_record({5});
    const std::string garbled = header.substr(0, 20) + 'x' + header.substr(21);
    for (const std::string& cut : {std::string(), header.substr(0, 12), garbled,
                                   std::string(header.size(), '\0')}) {
        EXPECT_EQ(read(cut).verdict, Reading::Verdict::unwritten) << cut.size() << " bytes";
    }
    EXPECT_TRUE(refused(garbled + journal::commit_record(0), "header is damaged"));
    EXPECT_TRUE(refused(frame(1, "KIVJRNX" + payload_of(header).substr(7)), "not this system's"));
    EXPECT_TRUE(refused(frame(1, payload_of(header) + 'x'), "not this system's"));
    EXPECT_TRUE(refused(frame(1, std::string("KIVJRNL\0\x02", 9) + le(5, 8)), "another version"));
    EXPECT_TRUE(refused(journal::intent_record(intent(MemberKind::install, "a")), "no header"));
}

TEST(JournalReader, RefusesRecordsOutOfTheirOrder) {
    const Sample journal = sample();
    const std::vector<std::string>& r = journal.records;
    EXPECT_TRUE(refused(r[0] + r[0], "record 2 is a second header"));
    EXPECT_TRUE(refused(r[0] + r[1] + r[4] + r[2], "record 4 is an intent after a ready"));
    EXPECT_TRUE(refused(r[0] + r[1] + r[2] + r[5], "member 1 where member 0 is next"));
    EXPECT_TRUE(refused(r[0] + r[1] + r[4] + journal::ready_record(ready(1)), "has no intent"));
    EXPECT_TRUE(refused(r[0] + frame(6, "") + r[1], "unknown type (6)"));
}

TEST(JournalReader, RefusesBadKindsNamesPathsAndFields) {
    const std::string header = journal::header_record({5});
    const auto refuses = [&](journal::Intent member, const char* phrase) {
        return refused(header + journal::intent_record(member), phrase);
    };
    journal::Intent member = intent(MemberKind::install, "a.dll");
    member.kind = static_cast<MemberKind>(4);
    EXPECT_TRUE(refuses(member, "kind of member 0 is unknown"));
    // A folder member takes no flags, and is made where nothing was.
    member = intent(MemberKind::folder, "bin");
    EXPECT_TRUE(refuses(member, "folder member 0 has flags"));
    member.flags = 0;
    journal::Ready made = ready(0);
    made.staged_size = 0;
    made.target_existed = false;
    const std::string folder_member = header + journal::intent_record(member);
    const Reading read_back = read(folder_member + journal::ready_record(made) +
                                            journal::commit_record(1));
    ASSERT_EQ(read_back.verdict, Reading::Verdict::readable) << read_back.reason;
    EXPECT_EQ(read_back.contents.intents.at(0), member);
    made.target_existed = true;
    EXPECT_TRUE(refused(folder_member + journal::ready_record(made),
                        "makes a folder ready for a target that existed"));
    std::vector<std::string> bad_folders = {"opt/kiv", "/opt/../etc", "/opt/./kiv",
                                            std::string("/opt\0/kiv", 9)};
    std::vector<std::string> bad_targets = {".", "..", "a/b", std::string("a\0b", 3)};
#if defined(_WIN32)
    bad_folders.insert(bad_folders.end(), {"C:kiv", "\\\\?\\C:\\kiv", "\\\\.\\C:", "C:\\a\\..\\b",
                                           std::string("C:\\a\0b", 6)});
    bad_targets.insert(bad_targets.end(), {"a\\b", "a:b", "a\xFF", "a.", "a "});
#endif
    for (const std::string& bad : bad_folders) {
        member = intent(MemberKind::install, "a.dll");
        member.folder = bad;
        EXPECT_TRUE(refuses(member, "folder of member 0 is not a whole path")) << bad;
    }
    for (const std::string& bad : bad_targets) {
        member = intent(MemberKind::install, "a.dll");
        member.target = bad;
        EXPECT_TRUE(refuses(member, "target of member 0 is not a plain name")) << bad;
    }
    const std::string long_name(255, 'q');
    for (const std::string& bad : {std::string("a.dll"), staged_for("b.dll"), staged_for(long_name),
                                   staged_for("a.dll", kivfs::staged_kind)}) {
        member = intent(MemberKind::install, "a.dll");
        member.staged = bad;
        EXPECT_TRUE(refuses(member, "staged name of member 0 is not a transaction's")) << bad;
    }
    // A cut name is taken only where hidden_name_for cuts it, and only for
    // a target that it keeps the beginning of.
    member = intent(MemberKind::install, long_name);
    member.staged = "." + long_name.substr(0, 100) + "..kiv-txn-0123456789abcdef";
    EXPECT_TRUE(refuses(member, "staged name of member 0"));
    member = intent(MemberKind::install, long_name.substr(0, 200) + 'x' + long_name.substr(201));
    member.staged = staged_for(long_name);
    EXPECT_TRUE(refuses(member, "staged name of member 0"));

    const std::string intent_record = journal::intent_record(intent(MemberKind::patch, "a.dll"));
    journal::Ready bad_time = ready(0);
    bad_time.modified.nanoseconds = 1000000000;
    EXPECT_TRUE(refused(header + intent_record + journal::ready_record(bad_time), "nanoseconds"));
    bad_time.modified.nanoseconds = -1;
    EXPECT_TRUE(refused(header + intent_record + journal::ready_record(bad_time), "nanoseconds"));
    std::string existed = payload_of(journal::ready_record(ready(0)));
    existed[28] = 2;
    EXPECT_TRUE(refused(header + intent_record + frame(3, existed), "neither"));
}

TEST(JournalReader, RefusesPayloadsNotExactlyTheirType) {
    const std::string header = journal::header_record({5});
    const std::string member = payload_of(journal::intent_record(intent(MemberKind::install, "a")));
    EXPECT_TRUE(refused(header + frame(2, '\1' + le(0xFFFFFFFFu, 4) + folder), "an intent's size"));
    EXPECT_TRUE(refused(header + frame(2, member + 'x'), "an intent's size"));
    EXPECT_TRUE(refused(header + frame(3, payload_of(journal::ready_record(ready(0))) + 'x'),
                        "a ready record's size"));
    EXPECT_TRUE(refused(header + frame(4, le(0, 8)), "a commit record's size"));
    std::string many = header;
    for (std::uint32_t at = 0; at <= journal::most_members; ++at) {
        many += journal::intent_record(intent(MemberKind::install, "m" + std::to_string(at)));
    }
    EXPECT_TRUE(refused(many, "more than 65536 members"));
}

// What a crash leaves of the last append (zeros, garbage, a length
// without its bytes, an overlong length) is dropped; a damaged record that
// a whole commit record follows was damaged after the commit, and bytes
// after the commit record were never written by a transaction.
TEST(JournalReader, DropsADamagedLastAppendButRefusesDamageBeforeACommit) {
    const Sample journal = sample();
    const std::string& bytes = journal.bytes;
    const std::string uncommitted =
        bytes.substr(0, bytes.size() - journal.records.back().size());
    const journal::Contents& before = journal.after[journal.after.size() - 2];
    for (const std::string& tail :
         {std::string(4096, '\0'), le(0xFFFFFFFFu, 4) + std::string(20, '\2'),
          le(journal::most_record_bytes + 1, 4), le(40, 4) + std::string(20, 'x')}) {
        expect_reads_as(uncommitted + tail, before);
    }
    EXPECT_TRUE(refused(bytes + journal::commit_record(3), "bytes follow the commit record"));
    EXPECT_TRUE(refused(bytes + 'x', "bytes follow the commit record"));
    std::string changed = bytes;
    changed[journal.records[0].size() + 6] ^= 0x20;
    EXPECT_TRUE(refused(changed, "record 2 is damaged and a commit record follows it"));
}

TEST(JournalReader, RefusesACommitThatCountsOtherThanItsMembers) {
    const Sample journal = sample();
    const std::string uncommitted =
        journal.bytes.substr(0, journal.bytes.size() - journal.records[7].size());
    EXPECT_TRUE(refused(uncommitted + journal::commit_record(2), "counts 2 members"));
    EXPECT_TRUE(refused(uncommitted + journal::commit_record(4), "counts 4 members"));
    const std::string two_ready =
        uncommitted.substr(0, uncommitted.size() - journal.records[6].size());
    EXPECT_TRUE(refused(two_ready + journal::commit_record(3), "2 are ready"));
}

}  // namespace

// SPDX-License-Identifier: Zlib
// The journal's reader over any bytes: recovery hands it whatever file it
// finds, so it must never read past the bytes, allocate by a length it has
// not checked, or take anything for a journal but what the writers write.
// Whatever it reads as readable is written again with the writers (header,
// intents, ready records, the commit record of the kind read, if it was)
// and must read back the same; and since every field has one form, that
// writing must be the input's own first bytes (all of them for a committed
// journal: a dropped tail can only follow records that are not committed).
//
// Input layout: the journal's bytes, as a file would hold them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "journal.h"

#define CHECK(condition)                                                                         \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "journal_fuzzer: %s failed (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace {

namespace journal = kivtransaction::journal;

std::string written_again(const journal::Contents& contents) {
    std::string bytes = journal::header_record(contents.header);
    for (const journal::Intent& intent : contents.intents) {
        bytes += journal::intent_record(intent);
    }
    for (const journal::Ready& ready : contents.ready) {
        bytes += journal::ready_record(ready);
    }
    if (contents.committed) {
        bytes += journal::commit_record(static_cast<std::uint32_t>(contents.intents.size()),
                                        contents.at_restart);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const journal::Reading reading = journal::read(data, size);
    if (reading.verdict != journal::Reading::Verdict::readable) {
        CHECK(!reading.reason.empty());
        return 0;
    }
    const journal::Contents& found = reading.contents;
    CHECK(found.ready.size() <= found.intents.size());
    CHECK(found.intents.size() <= journal::most_members);
    CHECK(!found.committed || found.ready.size() == found.intents.size());
    CHECK(found.committed || !found.at_restart);

    const std::string bytes = written_again(found);
    CHECK(bytes.size() <= size && std::memcmp(bytes.data(), data, bytes.size()) == 0);
    CHECK(!found.committed || bytes.size() == size);

    const journal::Reading again =
        journal::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    CHECK(again.verdict == journal::Reading::Verdict::readable);
    CHECK(again.contents.header == found.header);
    CHECK(again.contents.intents == found.intents);
    CHECK(again.contents.ready == found.ready);
    CHECK(again.contents.committed == found.committed);
    CHECK(again.contents.at_restart == found.at_restart);
    return 0;
}

/* SPDX-License-Identifier: Zlib */
// The scan: the input file copied into the temporary file with every
// occurrence of the pattern replaced.
#ifndef KIVSUBST_SCAN_H
#define KIVSUBST_SCAN_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "bytes.h"
#include "platform.h"
#include "search.h"
#include "text.h"

namespace kivsubst {

struct ScanOutcome {
    // stopped: the caller's stop hook asked the scan to end between blocks.
    enum class Kind { complete, read_failed, write_failed, stopped };
    Kind kind = Kind::complete;
    std::uint64_t replacements = 0;
    std::int64_t bytes_written = 0;
    // How many times the matching way (see Matching) chose among the pairs'
    // next occurrences, each time a look at every pair: the measure of its
    // work, at most one for each place where occurrences start and one for
    // each block, however many occurrences the word test turns down there.
    std::uint64_t rounds = 0;
    // False when the scan was asked to check that the input is UTF-8
    // throughout and found that it is not; the scan then stops.
    bool valid_text = true;
};

// A pattern (at least one byte) and what replaces it.
struct Pair {
    Bytes pattern;
    Bytes replacement;
};

// What counts as an occurrence besides the pattern's exact bytes, and how
// many occurrences a scan replaces. The default, exact bytes and every
// occurrence, is what the library's export promises; the front end's -i, -w
// and --max-count ask for the rest.
struct Matching {
    // ASCII letters match in either case; every other byte, those from 0x80
    // up included, only itself.
    bool ignore_case = false;
    // An occurrence counts only where no word character (an ASCII letter, a
    // digit or '_') comes right before or right after it in the input; the
    // input's start and end count as no word character.
    bool whole_words = false;
    // What the input's characters are made of, which sets where an
    // occurrence may start: any byte (bytes); a whole UTF-16 code unit, at
    // an even offset from the input's start, little- or big-endian, so that
    // a surrogate pair is matched whole or not at all; or the first byte of
    // a character of a double-byte code page, whose lead bytes (those that
    // begin a two-byte character) `lead_bytes` marks. In UTF-16 only the
    // unit of an ASCII letter matches in either case, and the word test
    // looks at the whole code unit before and after an occurrence.
    enum class Units { bytes, utf16le, utf16be, double_byte };
    Units units = Units::bytes;
    std::array<bool, 256> lead_bytes{};
    // At most this many occurrences are replaced in one scan (a file), the
    // first ones, whichever pairs they belong to; 0 for every occurrence.
    std::uint64_t most = 0;

    bool exact() const { return !ignore_case && !whole_words && most == 0; }
    bool utf16() const { return units == Units::utf16le || units == Units::utf16be; }
};

// Reads the input in large blocks and writes unmatched runs in bulk, so the
// cost is linear in the file's size, and memory is bounded by the block size
// and the patterns' lengths whatever the file's size. Occurrences are found
// from left to right and do not overlap; a replacement is never searched.
// With several pairs all are applied in one pass: at each position the
// leftmost occurrence of any pattern is replaced, the longest pattern
// winning a tie (the first given among equals), so that "A for B and B for
// A" swaps them. One pair of exact bytes takes the quickest way, the one the
// library's export uses. Beyond exact bytes (see Matching), an occurrence
// that fails the word test is passed over as if it were not there, and the
// leftmost of those that pass wins, the longest on a tie.
class Scanner {
public:
    // Input is read, and output gathered, in blocks of this size.
    static constexpr std::size_t default_block_size = std::size_t{1} << 20;

    // Told of each occurrence replaced: its offset in the input and the
    // index of its pair.
    using Observer = std::function<void(std::int64_t offset, std::size_t pair)>;
    // Told after each block how many bytes of the input have been read.
    using Progress = std::function<void(std::int64_t read)>;
    // Asked after each block whether the scan is to stop there.
    using Stop = std::function<bool()>;

    // These match exact bytes, every occurrence, as the export does.
    Scanner(Bytes pattern, Bytes replacement, std::size_t block_size = default_block_size);
    explicit Scanner(std::vector<Pair> pairs, std::size_t block_size = default_block_size);
    Scanner(std::vector<Pair> pairs, const Matching& matching,
            std::size_t block_size = default_block_size);

    // False when the buffers could not be allocated.
    bool ready() const { return ready_; }

    // The next scan copies the input's first `length` bytes (a byte-order
    // mark) as they are and searches only after them; offsets stay the
    // input's own.
    void keep_head(std::size_t length) { head_ = length; }
    // The next scan also checks, as it reads, that the input is UTF-8
    // throughout (ScanOutcome::valid_text).
    void check_utf8(bool check) { check_utf8_ = check; }

    void observe(Observer observer) { observer_ = std::move(observer); }
    void report_progress(Progress progress) { progress_ = std::move(progress); }
    void stop_when(Stop stop) { stop_ = std::move(stop); }

    // Scans at most `length` bytes of `input` into `output`, stopping early
    // if the input ends sooner.
    ScanOutcome run(platform::File& input, std::int64_t length, platform::File& output);

    // The input block, free for other use once the scan is over.
    unsigned char* block() { return input_.get(); }
    std::size_t block_size() const { return block_size_; }

private:
    class Output;
    struct Block;
    // Where the matching way looks for one pair's pattern: in the block
    // itself, or in its folded copy.
    struct Stream {
        std::size_t pair;
        bool folded;
    };

    // Replaces within one block; returns where the unreplaced rest begins.
    const unsigned char* replace_one(Block& block, Output& output, ScanOutcome& outcome);
    const unsigned char* replace_aligned(Block& block, Output& output, ScanOutcome& outcome);
    const unsigned char* replace_many(Block& block, Output& output, ScanOutcome& outcome);
    const unsigned char* replace_matching(Block& block, Output& output, ScanOutcome& outcome);
    void found(std::int64_t offset, std::size_t pair, ScanOutcome& outcome) const;
    // Where an occurrence may start (see Matching::Units): the input's own
    // offset of `at` in UTF-16, the block's map of character starts in a
    // double-byte code page, made once a block as it is read.
    bool may_start(const Block& block, const unsigned char* at) const;
    bool read_head(platform::File& input, std::size_t length, Output& output,
                   ScanOutcome& outcome);
    void map_characters(const Block& block);
    void carry_characters(const Block& block, std::size_t carried);
    // Matching beyond exact bytes: the folded patterns, copies and streams,
    // made once; each block folded; each stream's next occurrence; the word
    // test's two halves, and the places where an occurrence may pass it; the
    // streams moved on past what the scan has passed or turned down.
    bool prepare_matching();
    void fold(const Block& block);
    const unsigned char* seek(const Stream& stream, const Block& block, const unsigned char* at,
                              bool after) const;
    const unsigned char* settle(const Stream& stream, const Block& block,
                                const unsigned char* text, const unsigned char* hit) const;
    bool free_before(const Block& block, const unsigned char* at) const;
    bool free_after(const Block& block, const unsigned char* after) const;
    const unsigned char* next_word_start(const Block& block, const unsigned char* from) const;
    std::size_t leftmost_longest(const Block& block) const;
    std::size_t longest_standing_alone(const Block& block, const unsigned char* at) const;
    void seek_from(const Block& block, const unsigned char* from);
    void pass_over(const Block& block, const unsigned char* at);

    std::vector<Pair> pairs_;
    Matching matching_;
    // Several pairs in UTF-16 or a double-byte code page, as any matching
    // beyond exact bytes, go the matching way, whose streams keep each
    // pattern's next occurrence that may start where it is.
    bool matching_way_ = false;
    std::size_t head_ = 0;
    bool check_utf8_ = false;
    text::Utf8Check utf8_;
    // In a double-byte code page: where characters start in the block (one
    // byte each), and the input's offset of the first character start not
    // yet mapped.
    std::unique_ptr<unsigned char[]> starts_;
    std::int64_t next_character_ = 0;
    std::size_t longest_ = 0;  // the longest pattern's length
    std::size_t behind_ = 0;   // input bytes kept before a block, for the word test
    std::size_t ahead_ = 0;    // input bytes the word test reads after an occurrence
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> input_;   // bytes kept from before, the carried tail of the
                                               // last block, then a block
    std::unique_ptr<unsigned char[]> output_;  // bytes on their way to the output file
    // With ignore_case: the patterns folded to lower case, and the block
    // folded likewise, once.
    std::vector<std::vector<unsigned char>> folded_patterns_;
    std::unique_ptr<unsigned char[]> folded_;
    std::vector<Searcher> searchers_;          // one a pair, made once the buffers exist
    std::vector<Stream> streams_;              // where the matching way looks for each pair
    std::vector<const unsigned char*> hits_;   // each stream's next occurrence in the block
    bool ready_ = false;
    Observer observer_;
    Progress progress_;
    Stop stop_;
};

}  // namespace kivsubst

#endif

// SPDX-License-Identifier: Zlib
#include "preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivcli/wtf8.h"
#include "kivcommon/escape.h"
#include "system.h"

namespace kivsubst_cli {
namespace {

using kivsubst::engine::File;

// How much of a line is shown on each side of an occurrence, and of a
// binary file's bytes.
constexpr std::int64_t text_context = 60;
constexpr std::int64_t binary_context = 16;
// A file whose first bytes hold a NUL is shown in hex.
constexpr std::size_t binary_probe = 8192;

struct Occurrence {
    std::int64_t offset;
    std::size_t pair;
    std::uint64_t line = 0;
};

// How a file's text is cut into units: bytes, or UTF-16 code units (two
// bytes in the file's byte order), counted from the file's start, with the
// file's own mark (`mark` bytes) kept out of the lines shown.
struct Units {
    std::size_t width = 1;
    bool big_endian = false;
    std::int64_t mark = 0;

    // The unit that starts at `at` of `bytes`, which holds a whole one there.
    unsigned at(const char* bytes, std::size_t at) const {
        const auto byte = [&](std::size_t i) {
            return static_cast<unsigned>(static_cast<unsigned char>(bytes[at + i]));
        };
        if (width == 1) {
            return byte(0);
        }
        return big_endian ? byte(0) << 8U | byte(1) : byte(1) << 8U | byte(0);
    }
    // Bytes of the file's units as text for the terminal: UTF-16 decoded to
    // UTF-8 (a surrogate cut off from its other half as WTF-8 writes it).
    std::string text(const std::string& bytes) const {
        if (width == 1) {
            return bytes;
        }
        std::u16string units;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(at(bytes.data(), i)));
        }
        return kivcli::wtf8_from_utf16(units);
    }
};

// The bytes of [from, to) of the file; fewer at its end.
std::string bytes_at(File& file, std::int64_t from, std::int64_t to) {
    std::string bytes(static_cast<std::size_t>(std::max<std::int64_t>(0, to - from)), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const std::ptrdiff_t read =
            file.read_at(from + static_cast<std::int64_t>(got), &bytes[got], bytes.size() - got);
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    bytes.resize(got);
    return bytes;
}

// Gives each occurrence its line number, in one pass over the file that
// counts line feeds (whole units of them) up to the last occurrence.
bool number_lines(File& file, const Units& units, std::vector<Occurrence>& occurrences) {
    constexpr std::size_t block = std::size_t{1} << 20;
    std::unique_ptr<char[]> buffer(new char[block]);
    std::uint64_t lines = 1;
    std::int64_t at = 0;
    std::size_t next = 0;
    const auto width = static_cast<std::ptrdiff_t>(units.width);
    while (next < occurrences.size()) {
        std::ptrdiff_t got = file.read_at(at, buffer.get(), block);
        if (got < 0) {
            return false;
        }
        got -= got % width;  // a unit cut by the read is read again next time
        for (std::ptrdiff_t i = 0; i < got && next < occurrences.size(); i += width) {
            while (next < occurrences.size() && occurrences[next].offset <= at + i) {
                occurrences[next++].line = lines;
            }
            if (units.at(buffer.get(), static_cast<std::size_t>(i)) == '\n') {
                ++lines;
            }
        }
        if (got == 0) {
            // The file is shorter now than when it was scanned.
            for (; next < occurrences.size(); ++next) {
                occurrences[next].line = lines;
            }
        }
        at += got;
    }
    return true;
}

// Text as the preview shows it: unprintable bytes (controls, DEL, bytes of
// no character) as \xHH, so that a line can neither drive the terminal nor
// be mistaken for another; tabs as they are.
std::string printable(const std::string& bytes) {
    std::string shown;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    // Bytes above 0x7F are shown as they are only where they form text the
    // terminal reads; the quoting rules of names decide that.
    const std::string quoted = kivcli::quoted(shown);
    if (quoted.find("$'") == std::string::npos) {
        return shown;
    }
    const auto beyond_ascii = [](unsigned char byte) { return byte >= 0x80; };
    return kivcommon::escape_bytes(shown, beyond_ascii, kivcommon::ByteEscape::hex);
}

std::string hex(const std::string& bytes) {
    std::string shown;
    for (char c : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02x", shown.empty() ? "" : " ",
                      static_cast<unsigned char>(c));
        shown += pair;
    }
    return shown;
}

class Previewer {
public:
    Previewer(File& file, const Units& units,
              const std::vector<std::pair<std::string, std::string>>& pairs,
              const std::vector<Occurrence>& occurrences)
        : file_(file), units_(units), pairs_(pairs), occurrences_(occurrences) {}

    void show(const std::string& name, std::size_t index, bool binary);

private:
    void show_text(std::size_t index);
    void show_binary(std::size_t index);
    // The bytes of the file at `from` with every occurrence that lies
    // wholly in them replaced.
    std::string replaced(const std::string& window, std::int64_t from) const;
    const std::string& pattern(std::size_t index) const {
        return pairs_[occurrences_[index].pair].first;
    }

    // Where the unit before `match` or from `from` on that is a line feed
    // lies in `window`, or npos.
    std::size_t feed_before(const std::string& window, std::size_t match) const;
    std::size_t feed_from(const std::string& window, std::size_t from) const;

    File& file_;
    const Units& units_;
    // The pairs' bytes as this file holds them.
    const std::vector<std::pair<std::string, std::string>>& pairs_;
    const std::vector<Occurrence>& occurrences_;
};

std::string Previewer::replaced(const std::string& window, std::int64_t from) const {
    std::string after;
    std::int64_t at = from;
    const std::int64_t to = from + static_cast<std::int64_t>(window.size());
    for (std::size_t i = 0; i < occurrences_.size(); ++i) {
        const Occurrence& other = occurrences_[i];
        const auto length = static_cast<std::int64_t>(pattern(i).size());
        if (other.offset < at || other.offset + length > to) {
            continue;
        }
        after.append(window, static_cast<std::size_t>(at - from),
                     static_cast<std::size_t>(other.offset - at));
        after += pairs_[other.pair].second;
        at = other.offset + length;
    }
    after.append(window, static_cast<std::size_t>(at - from), std::string::npos);
    return after;
}

std::size_t Previewer::feed_before(const std::string& window, std::size_t match) const {
    for (std::size_t at = match; at >= units_.width;) {
        at -= units_.width;
        if (units_.at(window.data(), at) == '\n') {
            return at;
        }
    }
    return std::string::npos;
}

std::size_t Previewer::feed_from(const std::string& window, std::size_t from) const {
    for (std::size_t at = from; at + units_.width <= window.size(); at += units_.width) {
        if (units_.at(window.data(), at) == '\n') {
            return at;
        }
    }
    return std::string::npos;
}

// The occurrence's line, cut at line feeds (a CR before one dropped) or
// after `text_context` units on each side, whichever comes first; in
// UTF-16 the units are found on whole units from the file's start (where
// the occurrences are) and the line is shown decoded, as UTF-8.
void Previewer::show_text(std::size_t index) {
    const Occurrence& occurrence = occurrences_[index];
    const auto length = static_cast<std::size_t>(pattern(index).size());
    const auto context = text_context * static_cast<std::int64_t>(units_.width);
    const std::int64_t from = std::max<std::int64_t>(units_.mark, occurrence.offset - context);
    const std::int64_t wanted = occurrence.offset + static_cast<std::int64_t>(length) + context;
    std::string window = bytes_at(file_, from, wanted);
    window.resize(window.size() - window.size() % units_.width);

    const auto match = static_cast<std::size_t>(occurrence.offset - from);
    const std::size_t previous_feed = feed_before(window, match);
    const std::size_t next_feed = feed_from(window, match + length);
    const bool cut_before = previous_feed == std::string::npos && from > units_.mark;
    const bool cut_after =
        next_feed == std::string::npos && from + static_cast<std::int64_t>(window.size()) == wanted;
    const std::size_t begin = previous_feed == std::string::npos ? 0 : previous_feed + units_.width;
    std::size_t stop = next_feed == std::string::npos ? window.size() : next_feed;
    if (next_feed != std::string::npos && stop >= match + length + units_.width &&
        units_.at(window.data(), stop - units_.width) == '\r') {
        stop -= units_.width;
    }
    const std::string line = window.substr(begin, stop - begin);

    const std::string after = replaced(line, from + static_cast<std::int64_t>(begin));
    const char* before_mark = cut_before ? "..." : "";
    const char* after_mark = cut_after ? "..." : "";
    kivcli::print(std::string("- ") + before_mark + printable(units_.text(line)) + after_mark +
                  "\n+ " + before_mark + printable(units_.text(after)) + after_mark + "\n");
}

// The bytes around the occurrence in hex, the occurrence in brackets, as
// the file holds it (with -i its letters may differ from the pattern's).
void Previewer::show_binary(std::size_t index) {
    const Occurrence& occurrence = occurrences_[index];
    const auto length = static_cast<std::int64_t>(pattern(index).size());
    const std::int64_t from = std::max<std::int64_t>(0, occurrence.offset - binary_context);
    const std::string before = bytes_at(file_, from, occurrence.offset);
    const std::string after =
        bytes_at(file_, occurrence.offset + length, occurrence.offset + length + binary_context);
    auto line = [&](const char* sign, const std::string& middle) {
        kivcli::print(std::string(sign) + " " + hex(before) + (before.empty() ? "" : " ") + "[" +
                      hex(middle) + "]" + (after.empty() ? "" : " ") + hex(after) + "\n");
    };
    line("-", bytes_at(file_, occurrence.offset, occurrence.offset + length));
    line("+", pairs_[occurrence.pair].second);
}

void Previewer::show(const std::string& name, std::size_t index, bool binary) {
    kivcli::print(name + ":" + std::to_string(occurrences_[index].line) + ":" +
                  std::to_string(occurrences_[index].offset) + "\n");
    if (binary) {
        show_binary(index);
    } else {
        show_text(index);
    }
}

}  // namespace

int preview_file(Target& target, Counter& counter,
                 std::uint64_t& count, std::string& reason) {
    if (target.folder == nullptr) {
        reason = kivcli::describe(target.problem);
        return KIVSUBST_CANNOT_OPEN;
    }
    File file = open_to_examine(target, reason);
    if (!file.is_open()) {
        return KIVSUBST_CANNOT_OPEN;
    }
    std::vector<Occurrence> occurrences;
    counter.observe([&](std::int64_t offset, std::size_t pair) {
        occurrences.push_back({offset, pair});
    });
    const int counted = counter.count(file, count, reason);
    counter.observe(nullptr);
    if (counted == KIVSUBST_BAD_ENCODING) {
        return counted;
    }
    // UTF-16 text, full of NUL bytes, is shown as text, in its units.
    Units units;
    const std::optional<kivsubst::engine::TextEncoding> encoding = counter.encoding();
    if (encoding == kivsubst::engine::TextEncoding::utf16le ||
        encoding == kivsubst::engine::TextEncoding::utf16be) {
        units.width = 2;
        units.big_endian = encoding == kivsubst::engine::TextEncoding::utf16be;
        units.mark = bytes_at(file, 0, 2) == (units.big_endian ? "\xFE\xFF" : "\xFF\xFE") ? 2 : 0;
    }
    if (counted != 0 || !number_lines(file, units, occurrences)) {
        reason = counted == 0 ? "read error" : reason;
        return KIVSUBST_CANNOT_OPEN;
    }
    const std::string probe = bytes_at(file, 0, static_cast<std::int64_t>(binary_probe));
    const bool binary = units.width == 1 && probe.find('\0') != std::string::npos;
    Previewer previewer(file, units, counter.pairs(), occurrences);
    const std::string name = kivcli::quoted(target.shown);
    for (std::size_t i = 0; i < occurrences.size(); ++i) {
        previewer.show(name, i, binary);
    }
    return 0;
}

}  // namespace kivsubst_cli

// SPDX-License-Identifier: Zlib
#include "content_check.h"

#include <algorithm>
#include <cstring>

namespace kivcrash {

ContentCheck::ContentCheck(const FileState& file, const std::string& expected)
    : expected_length_(static_cast<std::int64_t>(expected.size())),
      durable_length_(file.durable.length) {
    const std::vector<std::int64_t> cuts = edges(file);
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        segments_.push_back({cuts[i], file.durable.holds(cuts[i], cuts[i + 1], expected), {}});
    }
    add_writers(file.pending, expected);
}

// Every place within the expected content where a pending unit begins or
// ends, with its two ends, in order.
std::vector<std::int64_t> ContentCheck::edges(const FileState& file) const {
    std::vector<std::int64_t> cuts = {0, expected_length_};
    const auto inside = [&](std::int64_t at) {
        if (at > 0 && at < expected_length_) {
            cuts.push_back(at);
        }
    };
    for (const Unit& unit : file.pending) {
        if (unit.kind == Unit::Kind::data) {
            inside(unit.offset);
            inside(unit.offset + static_cast<std::int64_t>(unit.bytes.size()));
        } else if (unit.cuts) {
            inside(unit.length);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    if (expected_length_ == 0) {
        cuts.pop_back();  // no segments at all
    }
    return cuts;
}

std::size_t ContentCheck::first_segment_from(std::int64_t offset) const {
    auto found =
        std::lower_bound(segments_.begin(), segments_.end(), offset,
                         [](const Segment& segment, std::int64_t at) { return segment.from < at; });
    return static_cast<std::size_t>(found - segments_.begin());
}

void ContentCheck::add_writers(const std::vector<Unit>& pending, const std::string& expected) {
    for (std::size_t u = 0; u < pending.size(); ++u) {
        const Unit& unit = pending[u];
        if (unit.kind == Unit::Kind::length) {
            lengths_.emplace_back(u, unit.length);
            for (std::size_t s = unit.cuts ? first_segment_from(unit.length) : segments_.size();
                 s < segments_.size(); ++s) {
                segments_[s].writers.push_back({u, false});
            }
            continue;
        }
        const std::int64_t end = unit.offset + static_cast<std::int64_t>(unit.bytes.size());
        for (std::size_t s = first_segment_from(unit.offset);
             s < segments_.size() && segments_[s].from < end; ++s) {
            const std::int64_t to =
                s + 1 < segments_.size() ? segments_[s + 1].from : expected_length_;
            const bool matches = std::memcmp(unit.bytes.data() + (segments_[s].from - unit.offset),
                                             expected.data() + segments_[s].from,
                                             static_cast<std::size_t>(to - segments_[s].from)) == 0;
            segments_[s].writers.push_back({u, matches});
        }
    }
}

bool ContentCheck::holds(const std::vector<bool>& persisted) const {
    std::int64_t length = durable_length_;
    for (const auto& [unit, new_length] : lengths_) {
        if (persisted[unit]) {
            length = new_length;
        }
    }
    if (length != expected_length_) {
        return false;
    }
    for (const Segment& segment : segments_) {
        auto last = std::find_if(segment.writers.rbegin(), segment.writers.rend(),
                                 [&](const Writer& writer) { return persisted[writer.unit]; });
        if (last != segment.writers.rend() ? !last->matches : !segment.durable_matches) {
            return false;
        }
    }
    return true;
}

}  // namespace kivcrash

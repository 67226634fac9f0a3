/* SPDX-License-Identifier: Zlib */
// Whether a file holds a given content whole after a cut, for any subset of
// its pending units, without building the file's bytes for each subset.
#ifndef KIV_CONTENT_CHECK_H
#define KIV_CONTENT_CHECK_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crash_model.h"

namespace kivcrash {

// The expected content's range is cut into segments at every edge of a
// pending unit, so that each unit either covers a segment or does not. For
// each segment it is worked out once whether the durable image holds the
// expected bytes there and, for each unit that covers it, whether the unit
// puts them there (a length that cuts below the segment puts garbage). For
// a subset of the units, a segment then holds the expected bytes if the last
// persisted unit covering it does, or, if none does, the durable image.
class ContentCheck {
public:
    ContentCheck(const FileState& file, const std::string& expected);

    // `persisted` has one flag per pending unit.
    bool holds(const std::vector<bool>& persisted) const;

private:
    struct Writer {
        std::size_t unit;
        bool matches;
    };
    struct Segment {
        std::int64_t from;
        bool durable_matches;
        std::vector<Writer> writers;  // in the units' order
    };

    std::vector<std::int64_t> edges(const FileState& file) const;
    void add_writers(const std::vector<Unit>& pending, const std::string& expected);
    std::size_t first_segment_from(std::int64_t offset) const;

    std::int64_t expected_length_;
    std::int64_t durable_length_;
    std::vector<std::pair<std::size_t, std::int64_t>> lengths_;  // unit, new length
    std::vector<Segment> segments_;
};

}  // namespace kivcrash

#endif

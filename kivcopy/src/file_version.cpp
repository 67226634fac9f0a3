// SPDX-License-Identifier: Zlib
// The version reader over an open file.
#include "file_version.h"

#include "kivcopy.h"

namespace kivcopy {

namespace {

// A file's bytes as the reader asks for them: each read at its offset
// through the handle, so a name swapped after the open changes nothing.
class FileBytes final : public pe::Bytes {
public:
    FileBytes(kivfs::File& file, std::int64_t size) : file_(file), size_(size) {}

    std::uint64_t size() const override { return static_cast<std::uint64_t>(size_); }

    // A read that ends early (the file shrank since its size was read)
    // fails like one the system refuses.
    bool read(std::uint64_t offset, void* buffer, std::size_t count) override {
        auto* bytes = static_cast<unsigned char*>(buffer);
        while (count > 0) {
            const std::ptrdiff_t got =
                file_.read_at(static_cast<std::int64_t>(offset), bytes, count);
            if (got <= 0) {
                return false;
            }
            const auto moved = static_cast<std::size_t>(got);
            bytes += moved;
            offset += moved;
            count -= moved;
        }
        return true;
    }

private:
    kivfs::File& file_;
    std::int64_t size_;
};

}  // namespace

pe::VersionRead file_version(const platform::PathChar* path, pe::FileVersion& version) {
    platform::Source source;
    if (path == nullptr || !platform::open_source(platform::place_of(path), source) ||
        source.size < 0) {
        return pe::VersionRead::unreadable;
    }
    return file_version(source.file, source.size, version);
}

pe::VersionRead file_version(kivfs::File& file, std::int64_t size, pe::FileVersion& version) {
    if (size < 0) {
        return pe::VersionRead::unreadable;
    }
    FileBytes bytes(file, size);
    return pe::read_file_version(bytes, version);
}

std::int32_t version_result_of(pe::VersionRead outcome) {
    switch (outcome) {
        case pe::VersionRead::found:
            return KIVCOPY_OK;
        case pe::VersionRead::none:
            return KIVVERSION_NONE;
        case pe::VersionRead::malformed:
            return KIVVERSION_MALFORMED;
        case pe::VersionRead::unreadable:
            break;
    }
    return KIVCOPY_SOURCE_NOT_OPENED;
}

}  // namespace kivcopy

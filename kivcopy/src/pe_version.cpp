// SPDX-License-Identifier: Zlib
// The version resource of a PE image, read from untrusted bytes: every
// number the file gives is checked against the file before it is used, in
// 64-bit arithmetic that no 32-bit field can overflow, and every read is
// into a fixed buffer on the stack.
#include "pe_version.h"

#include <array>
#include <cstring>

namespace kivcopy::pe {

namespace {

constexpr std::uint16_t pe32_magic = 0x10b;
constexpr std::uint16_t pe32_plus_magic = 0x20b;
constexpr std::uint32_t resource_directory_index = 2;
constexpr std::uint32_t rt_version = 16;
constexpr std::uint32_t version_info_id = 1;  // VS_VERSION_INFO
constexpr std::uint32_t subdirectory_bit = 0x80000000u;
constexpr std::uint32_t fixed_info_signature = 0xFEEF04BDu;

constexpr std::uint64_t dos_header_size = 64;
constexpr std::uint64_t pe_offset_field = 0x3C;
constexpr std::uint64_t file_header_size = 20;
constexpr std::uint64_t section_header_size = 40;
constexpr std::uint64_t directory_header_size = 16;
constexpr std::uint64_t directory_entry_size = 8;
constexpr std::uint64_t data_entry_size = 16;
// VS_VERSIONINFO up to its value: wLength, wValueLength, wType, the key
// L"VS_VERSION_INFO" with its terminator, padded to 4 bytes.
constexpr std::size_t version_key_units = 16;
constexpr std::uint64_t version_value_offset = 40;
constexpr std::uint64_t fixed_info_size = 52;
constexpr std::uint64_t version_head_size = version_value_offset + fixed_info_size;

std::uint16_t u16_at(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A file offset at which some bytes lie, and how many lie there from it on
// within the part of the file that holds them (a section's raw data).
struct Span {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// One section's place in memory and in the file.
struct Section {
    std::uint32_t virtual_address = 0;
    std::uint32_t virtual_size = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;
};

// What a step of the walk gives: go on, or stop with this outcome.
enum class Step { go_on, stop };

class Reader {
public:
    explicit Reader(Bytes& bytes) : bytes_(bytes), size_(bytes.size()) {}

    VersionRead run(FileVersion& version);

private:
    // Reads `count` bytes at `offset` if they lie within the file; a range
    // outside it is malformed, a failed read unreadable.
    bool read(std::uint64_t offset, void* buffer, std::uint64_t count) {
        if (offset > size_ || count > size_ - offset) {
            outcome_ = VersionRead::malformed;
            return false;
        }
        if (!bytes_.read(offset, buffer, static_cast<std::size_t>(count))) {
            outcome_ = VersionRead::unreadable;
            return false;
        }
        return true;
    }

    bool stop(VersionRead outcome) {
        outcome_ = outcome;
        return false;
    }

    bool read_headers();
    bool find_section(std::uint32_t rva, Section& found);
    bool map(std::uint32_t rva, std::uint64_t length, Span& span, Section* section = nullptr);
    bool read_directory(std::uint32_t offset, std::uint32_t& entries, std::uint32_t& named);
    bool read_entry(std::uint32_t directory, std::uint32_t index, std::uint32_t& name,
                    std::uint32_t& target);
    bool enter(std::uint32_t target, std::uint32_t& directory);
    bool read_version(std::uint32_t data_entry, FileVersion& version);

    Bytes& bytes_;
    std::uint64_t size_;
    VersionRead outcome_ = VersionRead::malformed;
    std::uint64_t sections_offset_ = 0;
    std::uint32_t section_count_ = 0;
    std::uint32_t resource_rva_ = 0;
    std::uint32_t resource_size_ = 0;
    Span resources_;  // the resource section's bytes from the root directory on
    std::array<std::uint32_t, 3> visited_{};
    std::size_t visited_count_ = 0;
};

// Finds the PE header, the resource data directory and the section table.
// A file that is no PE image stops with "none", and so does an image whose
// data directories end before the resource directory's or leave it empty.
bool Reader::read_headers() {
    if (size_ < dos_header_size) {
        return stop(VersionRead::none);
    }
    unsigned char dos[dos_header_size];
    if (!read(0, dos, sizeof dos)) {
        return false;
    }
    if (dos[0] != 'M' || dos[1] != 'Z') {
        return stop(VersionRead::none);
    }
    const std::uint64_t pe_offset = u32_at(dos + pe_offset_field);
    unsigned char signature[4];
    if (pe_offset > size_ || size_ - pe_offset < sizeof signature) {
        return stop(VersionRead::none);
    }
    if (!read(pe_offset, signature, sizeof signature)) {
        return false;
    }
    if (std::memcmp(signature, "PE\0\0", sizeof signature) != 0) {
        return stop(VersionRead::none);
    }

    unsigned char file_header[file_header_size];
    if (!read(pe_offset + sizeof signature, file_header, sizeof file_header)) {
        return false;
    }
    section_count_ = u16_at(file_header + 2);
    const std::uint64_t optional_size = u16_at(file_header + 16);
    const std::uint64_t optional_offset = pe_offset + sizeof signature + file_header_size;

    unsigned char magic[2];
    if (optional_size < sizeof magic || !read(optional_offset, magic, sizeof magic)) {
        return stop(VersionRead::malformed);
    }
    std::uint64_t count_offset = 0;
    switch (u16_at(magic)) {
        case pe32_magic:
            count_offset = 92;
            break;
        case pe32_plus_magic:
            count_offset = 108;
            break;
        default:
            return stop(VersionRead::malformed);
    }
    unsigned char count[4];
    if (optional_size < count_offset + sizeof count ||
        !read(optional_offset + count_offset, count, sizeof count)) {
        return stop(VersionRead::malformed);
    }
    if (u32_at(count) <= resource_directory_index) {
        return stop(VersionRead::none);
    }
    const std::uint64_t entry_offset = count_offset + sizeof count + 8 * resource_directory_index;
    unsigned char entry[8];
    if (optional_size < entry_offset + sizeof entry ||
        !read(optional_offset + entry_offset, entry, sizeof entry)) {
        return stop(VersionRead::malformed);
    }
    resource_rva_ = u32_at(entry);
    resource_size_ = u32_at(entry + 4);
    if (resource_rva_ == 0 || resource_size_ == 0) {
        return stop(VersionRead::none);
    }

    sections_offset_ = optional_offset + optional_size;
    const std::uint64_t table_size = section_count_ * section_header_size;
    if (sections_offset_ > size_ || table_size > size_ - sections_offset_) {
        return stop(VersionRead::malformed);
    }
    return true;
}

// The first section whose bytes in the file hold `rva`, as the loader
// looks them up; a few headers at a time. False (malformed) where none.
bool Reader::find_section(std::uint32_t rva, Section& found) {
    constexpr std::uint32_t batch = 16;
    unsigned char headers[batch * section_header_size];
    for (std::uint32_t first = 0; first < section_count_; first += batch) {
        const std::uint32_t in_batch =
            section_count_ - first < batch ? section_count_ - first : batch;
        if (!read(sections_offset_ + first * section_header_size, headers,
                  in_batch * section_header_size)) {
            return false;
        }
        for (std::uint32_t i = 0; i < in_batch; ++i) {
            const unsigned char* header = headers + i * section_header_size;
            Section section{u32_at(header + 12), u32_at(header + 8), u32_at(header + 16),
                            u32_at(header + 20)};
            if (rva >= section.virtual_address &&
                std::uint64_t{rva} - section.virtual_address < section.raw_size) {
                found = section;
                return true;
            }
        }
    }
    return stop(VersionRead::malformed);
}

// The file offset of `rva` and how many bytes of its section's raw data
// lie in the file from there; at least `length` must, or the image is
// malformed.
bool Reader::map(std::uint32_t rva, std::uint64_t length, Span& span, Section* section) {
    Section found;
    if (!find_section(rva, found)) {
        return false;
    }
    const std::uint64_t into = std::uint64_t{rva} - found.virtual_address;
    const std::uint64_t offset = std::uint64_t{found.raw_offset} + into;
    if (offset > size_) {
        return stop(VersionRead::malformed);
    }
    std::uint64_t available = std::uint64_t{found.raw_size} - into;
    if (available > size_ - offset) {
        available = size_ - offset;
    }
    if (available < length) {
        return stop(VersionRead::malformed);
    }
    span = {offset, available};
    if (section != nullptr) {
        *section = found;
    }
    return true;
}

// Reads the header of the resource directory at `offset` (from the root's
// start): how many entries it holds and how many of them are named. Its
// entries must all lie within the resource section's bytes.
bool Reader::read_directory(std::uint32_t offset, std::uint32_t& entries, std::uint32_t& named) {
    unsigned char header[directory_header_size];
    if (offset > resources_.length || resources_.length - offset < directory_header_size) {
        return stop(VersionRead::malformed);
    }
    if (!read(resources_.offset + offset, header, sizeof header)) {
        return false;
    }
    named = u16_at(header + 12);
    entries = named + u16_at(header + 14);
    if (entries * directory_entry_size > resources_.length - offset - directory_header_size) {
        return stop(VersionRead::malformed);
    }
    return true;
}

// Reads entry `index` of the directory at `directory`, which
// read_directory() found to hold it: its name or ID and what it leads to.
bool Reader::read_entry(std::uint32_t directory, std::uint32_t index, std::uint32_t& name,
                        std::uint32_t& target) {
    unsigned char entry[directory_entry_size];
    if (!read(resources_.offset + directory + directory_header_size + index * directory_entry_size,
              entry, sizeof entry)) {
        return false;
    }
    name = u32_at(entry);
    target = u32_at(entry + 4);
    return true;
}

// Follows an entry that must lead to a subdirectory, one not visited yet
// on this walk (else the directories loop).
bool Reader::enter(std::uint32_t target, std::uint32_t& directory) {
    if ((target & subdirectory_bit) == 0) {
        return stop(VersionRead::malformed);
    }
    directory = target & ~subdirectory_bit;
    for (std::size_t i = 0; i < visited_count_; ++i) {
        if (visited_[i] == directory) {
            return stop(VersionRead::malformed);
        }
    }
    visited_[visited_count_++] = directory;
    return true;
}

// Reads the version block that the data entry at `data_entry` describes
// and takes the file version from its VS_FIXEDFILEINFO.
bool Reader::read_version(std::uint32_t data_entry, FileVersion& version) {
    unsigned char entry[data_entry_size];
    if (data_entry > resources_.length || resources_.length - data_entry < data_entry_size) {
        return stop(VersionRead::malformed);
    }
    if (!read(resources_.offset + data_entry, entry, sizeof entry)) {
        return false;
    }
    const std::uint32_t block_rva = u32_at(entry);
    const std::uint32_t block_size = u32_at(entry + 4);
    Span block;
    if (block_size < version_head_size || !map(block_rva, block_size, block)) {
        return stop(VersionRead::malformed);
    }
    unsigned char head[version_head_size];
    if (!read(block.offset, head, sizeof head)) {
        return false;
    }
    const std::uint16_t length = u16_at(head);
    const std::uint16_t value_length = u16_at(head + 2);
    if (length > block_size) {
        return stop(VersionRead::malformed);
    }
    static const char key[] = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < version_key_units; ++i) {
        if (u16_at(head + 6 + 2 * i) != static_cast<unsigned char>(key[i])) {
            return stop(VersionRead::malformed);
        }
    }
    if (value_length == 0) {
        return stop(VersionRead::none);
    }
    if (length < version_head_size || value_length < fixed_info_size) {
        return stop(VersionRead::malformed);
    }
    const unsigned char* fixed = head + version_value_offset;
    if (u32_at(fixed) != fixed_info_signature) {
        return stop(VersionRead::malformed);
    }
    version.high = u32_at(fixed + 8);
    version.low = u32_at(fixed + 12);
    return true;
}

// The walk: headers, the resource section, RT_VERSION, its entry of ID 1,
// that entry's first language, the version block.
VersionRead Reader::run(FileVersion& version) {
    if (!read_headers()) {
        return outcome_;
    }
    Section section;
    if (!map(resource_rva_, directory_header_size, resources_, &section)) {
        return outcome_;
    }
    const std::uint32_t in_memory =
        section.virtual_size > section.raw_size ? section.virtual_size : section.raw_size;
    if (resource_size_ > in_memory - (std::uint64_t{resource_rva_} - section.virtual_address)) {
        return VersionRead::malformed;
    }
    visited_[visited_count_++] = 0;

    std::uint32_t entries = 0;
    std::uint32_t named = 0;
    if (!read_directory(0, entries, named)) {
        return outcome_;
    }
    std::uint32_t types = 0;
    bool found = false;
    for (std::uint32_t i = named; i < entries && !found; ++i) {
        std::uint32_t name = 0;
        std::uint32_t target = 0;
        if (!read_entry(0, i, name, target)) {
            return outcome_;
        }
        if (name == rt_version) {
            found = true;
            if (!enter(target, types)) {
                return outcome_;
            }
        }
    }
    if (!found) {
        return VersionRead::none;
    }

    std::uint32_t current = types;
    for (int level = 2; level <= 3; ++level) {
        if (!read_directory(current, entries, named)) {
            return outcome_;
        }
        if (entries == 0) {
            return VersionRead::none;
        }
        std::uint32_t name = 0;
        std::uint32_t target = 0;
        if (level == 2) {
            // The IDs follow the named entries; VS_VERSION_INFO is ID 1.
            bool found_id = false;
            for (std::uint32_t i = named; i < entries && !found_id; ++i) {
                if (!read_entry(current, i, name, target)) {
                    return outcome_;
                }
                found_id = name == version_info_id;
            }
            if (!found_id) {
                return VersionRead::none;
            }
            if (!enter(target, current)) {
                return outcome_;
            }
        } else {
            if (!read_entry(current, 0, name, target)) {
                return outcome_;
            }
            if ((target & subdirectory_bit) != 0) {
                return VersionRead::malformed;
            }
            if (!read_version(target, version)) {
                return outcome_;
            }
        }
    }
    return VersionRead::found;
}

}  // namespace

VersionRead read_file_version(Bytes& bytes, FileVersion& version) {
    Reader reader(bytes);
    FileVersion read;
    const VersionRead outcome = reader.run(read);
    if (outcome == VersionRead::found) {
        version = read;
    }
    return outcome;
}

}  // namespace kivcopy::pe

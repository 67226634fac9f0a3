/* SPDX-License-Identifier: Zlib */
// Windows images made byte by byte for the tests of the version reader and
// of installs that decide by version.
#ifndef KIVCOPY_TESTS_PE_IMAGE_H
#define KIVCOPY_TESTS_PE_IMAGE_H

#include <cstdint>
#include <string>

namespace kivcopy_test {

// A minimal image: the DOS header, the PE header and an optional header
// of either kind, one section ".rsrc" and in it the three levels of the
// resource directory down to a VS_VERSIONINFO block. The offsets are
// public so that a test can break one field of it.
struct Image {
    static constexpr std::uint32_t pe_offset = 0x40;
    static constexpr std::uint32_t file_header = pe_offset + 4;
    static constexpr std::uint32_t optional_header = file_header + 20;
    static constexpr std::uint32_t section_rva = 0x1000;
    static constexpr std::uint32_t section_offset = 0x200;
    // Within the resource section.
    static constexpr std::uint32_t types = 0x18;      // the RT_VERSION directory
    static constexpr std::uint32_t languages = 0x30;  // the first name's directory
    static constexpr std::uint32_t data_entry = 0x48;
    static constexpr std::uint32_t block = 0x58;
    static constexpr std::uint32_t block_size = 92;
    static constexpr std::uint32_t section_size = block + block_size;

    explicit Image(bool plus, std::uint32_t high = 0x00020005, std::uint32_t low = 0x0007000b)
        : bytes(section_offset + section_size, '\0') {
        bytes[0] = 'M';
        bytes[1] = 'Z';
        u32(0x3C, pe_offset);
        bytes.replace(pe_offset, 4, std::string("PE\0\0", 4));
        u16(file_header, plus ? 0x8664 : 0x14c);
        u16(file_header + 2, 1);
        u16(optional_header, plus ? 0x20b : 0x10b);
        u16(file_header + 16, optional_size());
        u32(optional_header + count_offset(), 16);
        u32(resource_directory(), section_rva);
        u32(resource_directory() + 4, section_size);
        const std::uint32_t section = sections();
        bytes.replace(section, 5, ".rsrc");
        u32(section + 8, section_size);
        u32(section + 12, section_rva);
        u32(section + 16, section_size);
        u32(section + 20, section_offset);

        directory(0, 0, 1);
        entry(0, 0, 16, 0x80000000u | types);
        directory(types, 0, 1);
        entry(types, 0, 1, 0x80000000u | languages);
        directory(languages, 0, 1);
        entry(languages, 0, 0x409, data_entry);
        data(data_entry, block);
        version_block(block, high, low);
    }

    // The data entry at `offset` in the section, for a version block at
    // `block_offset` in it.
    void data(std::uint32_t offset, std::uint32_t block_offset) {
        u32(in_section(offset), section_rva + block_offset);
        u32(in_section(offset) + 4, block_size);
    }

    // A version block with the file version `high`, `low` at `offset` in the
    // section.
    void version_block(std::uint32_t offset, std::uint32_t high, std::uint32_t low) {
        const std::uint32_t at = in_section(offset);
        u16(at, block_size);
        u16(at + 2, 52);
        const std::string key = "VS_VERSION_INFO";
        for (std::size_t i = 0; i < key.size(); ++i) {
            u16(at + 6 + 2 * static_cast<std::uint32_t>(i), static_cast<unsigned char>(key[i]));
        }
        u32(at + 40, 0xFEEF04BDu);
        u32(at + 44, 0x00010000);
        u32(at + 48, high);
        u32(at + 52, low);
        u32(at + 56, 0x00090009);  // a product version that is not the file's
        u32(at + 60, 0x00090009);
    }

    // Makes the resource section `size` bytes long, zeros after what it held.
    void grow(std::uint32_t size) {
        bytes.resize(section_offset + size, '\0');
        u32(sections() + 8, size);
        u32(sections() + 16, size);
        u32(resource_directory() + 4, size);
    }

    std::uint16_t optional_size() const { return is_plus() ? 240 : 224; }
    bool is_plus() const { return static_cast<unsigned char>(bytes[optional_header + 1]) == 2; }
    std::uint32_t count_offset() const { return is_plus() ? 108 : 92; }
    std::uint32_t resource_directory() const { return optional_header + count_offset() + 4 + 16; }
    std::uint32_t sections() const { return optional_header + optional_size(); }
    // A file offset of the resource section's byte at `offset`.
    static std::uint32_t in_section(std::uint32_t offset) { return section_offset + offset; }

    void u16(std::uint32_t at, std::uint32_t value) {
        bytes[at] = static_cast<char>(value & 0xff);
        bytes[at + 1] = static_cast<char>((value >> 8) & 0xff);
    }
    void u32(std::uint32_t at, std::uint32_t value) {
        u16(at, value & 0xffff);
        u16(at + 2, value >> 16);
    }
    // A resource directory's header at `offset` in the section.
    void directory(std::uint32_t offset, std::uint32_t named, std::uint32_t ids) {
        u16(in_section(offset) + 12, named);
        u16(in_section(offset) + 14, ids);
    }
    // Entry `index` of the directory at `offset`.
    void entry(std::uint32_t offset, std::uint32_t index, std::uint32_t name,
               std::uint32_t target) {
        u32(in_section(offset) + 16 + 8 * index, name);
        u32(in_section(offset) + 20 + 8 * index, target);
    }

    std::string bytes;
};

}  // namespace kivcopy_test

#endif

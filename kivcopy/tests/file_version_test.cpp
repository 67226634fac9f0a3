// SPDX-License-Identifier: Zlib
// KivFileVersion on images made here, byte by byte: a PE32 and a PE32+
// image with one version resource, then each kind of fault an image can
// carry, and what the call gives for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "kivcopy.h"
#include "kivtest/files.h"
#include "pe_image.h"

namespace {

using kivcopy_test::Image;

class FileVersion : public kivtest::WorkDirTest {
protected:
    // KivFileVersion on `bytes` written to a file; the version in
    // `high`/`low`, which start as a marker that shows what was written.
    std::int32_t version_of(const std::string& bytes) {
        kivtest::write_file(path("image"), bytes);
        high = low = marker;
        return KivFileVersion(path("image").c_str(), &high, &low);
    }

    static constexpr std::uint32_t marker = 0xDEADBEEFu;
    std::uint32_t high = marker;
    std::uint32_t low = marker;
};

TEST_F(FileVersion, ReadsTheFileVersionOfAPe32AndAPe32PlusImage) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        EXPECT_EQ(version_of(Image(plus, 0x00060001, 0x1DB10004).bytes), KIVCOPY_OK);
        EXPECT_EQ(high, 0x00060001u);
        EXPECT_EQ(low, 0x1DB10004u);
    }
}

TEST_F(FileVersion, StoresNothingThroughANullPointer) {
    kivtest::write_file(path("image"), Image(false).bytes);
    std::uint32_t low_only = 0;
    EXPECT_EQ(KivFileVersion(path("image").c_str(), nullptr, &low_only), KIVCOPY_OK);
    EXPECT_EQ(low_only, 0x0007000bu);
    EXPECT_EQ(KivFileVersion(path("image").c_str(), nullptr, nullptr), KIVCOPY_OK);
}

// GetFileVersionInfoW asks for the RT_VERSION entry of ID 1
// (VS_VERSION_INFO), wherever it stands among the names, and takes its
// first language; an image whose version resource has no ID 1 has no
// version to it.
TEST_F(FileVersion, TakesTheEntryOfIdOneAndItsFirstLanguage) {
    // A second type directory past the first block, whose two names lead
    // to the first language directory and to one of two languages, each
    // with a block of its own version.
    Image image(false);
    const std::uint32_t types = Image::section_size;
    const std::uint32_t languages = types + 0x20;
    const std::uint32_t german = languages + 0x20;
    const std::uint32_t english = german + 0x10;
    const std::uint32_t block = english + 0x10;
    image.grow(block + Image::block_size);
    image.entry(0, 0, 16, 0x80000000u | types);
    image.directory(types, 0, 2);
    image.directory(languages, 0, 2);
    image.data(german, block);
    image.version_block(block, 0x00030001, 0x00040001);
    image.data(english, Image::block);
    image.entry(languages, 0, 0x407, german);
    image.entry(languages, 1, 0x409, english);

    image.entry(types, 0, 1, 0x80000000u | languages);
    image.entry(types, 1, 2, 0x80000000u | Image::languages);
    EXPECT_EQ(version_of(image.bytes), KIVCOPY_OK);
    EXPECT_EQ(high, 0x00030001u);
    EXPECT_EQ(low, 0x00040001u);

    image.entry(types, 0, 0, 0x80000000u | Image::languages);
    image.entry(types, 1, 1, 0x80000000u | languages);
    EXPECT_EQ(version_of(image.bytes), KIVCOPY_OK) << "ID 1 after another";
    EXPECT_EQ(high, 0x00030001u);

    image.entry(languages, 0, 0x409, english);
    image.entry(languages, 1, 0x407, german);
    EXPECT_EQ(version_of(image.bytes), KIVCOPY_OK);
    EXPECT_EQ(high, 0x00020005u);

    image.entry(types, 1, 2, 0x80000000u | languages);
    EXPECT_EQ(version_of(image.bytes), KIVVERSION_NONE) << "no ID 1";
}

TEST_F(FileVersion, FindsNoVersionInAFileThatIsNoPeImage) {
    Image image(false);
    std::string no_signature = image.bytes;
    no_signature[Image::pe_offset] = 'N';
    std::string offset_outside = image.bytes;
    offset_outside[0x3F] = '\x7f';
    for (const std::string& bytes :
         {std::string(), std::string("text, long enough to be a DOS header if it began with MZ, "
                                     "but it does not; it is a text file."),
          std::string("MZ") + std::string(62, '\0') + std::string(16, 'x'), no_signature,
          offset_outside}) {
        EXPECT_EQ(version_of(bytes), KIVVERSION_NONE) << bytes.size() << " bytes";
        EXPECT_EQ(high, marker);
        EXPECT_EQ(low, marker);
    }
}

TEST_F(FileVersion, FindsNoVersionInAnImageWithoutAVersionResource) {
    Image no_directories(true);
    no_directories.u32(no_directories.optional_header + no_directories.count_offset(), 2);
    EXPECT_EQ(version_of(no_directories.bytes), KIVVERSION_NONE);

    Image no_resources(false);
    no_resources.u32(no_resources.resource_directory(), 0);
    EXPECT_EQ(version_of(no_resources.bytes), KIVVERSION_NONE);

    Image other_type(false);
    other_type.entry(0, 0, 3, 0x80000000u | Image::types);  // RT_ICON only
    EXPECT_EQ(version_of(other_type.bytes), KIVVERSION_NONE);

    Image named_type(false);
    named_type.directory(0, 1, 0);  // the entry counts as a name, not an ID
    EXPECT_EQ(version_of(named_type.bytes), KIVVERSION_NONE);

    Image no_names(false);
    no_names.directory(Image::types, 0, 0);
    EXPECT_EQ(version_of(no_names.bytes), KIVVERSION_NONE);

    Image no_languages(false);
    no_languages.directory(Image::languages, 0, 0);
    EXPECT_EQ(version_of(no_languages.bytes), KIVVERSION_NONE);

    Image no_value(false);
    no_value.u16(Image::in_section(Image::block) + 2, 0);
    EXPECT_EQ(version_of(no_value.bytes), KIVVERSION_NONE);
    EXPECT_EQ(high, marker);
}

TEST_F(FileVersion, RefusesAnImageCutShortAnywherePastItsPeSignature) {
    for (bool plus : {false, true}) {
        const std::string whole = Image(plus).bytes;
        for (std::size_t length = 0; length < whole.size(); ++length) {
            const std::int32_t expected =
                length < Image::pe_offset + 4 ? KIVVERSION_NONE : KIVVERSION_MALFORMED;
            ASSERT_EQ(version_of(whole.substr(0, length)), expected)
                << (plus ? "PE32+" : "PE32") << " cut to " << length << " bytes";
            ASSERT_EQ(high, marker);
        }
    }
}

TEST_F(FileVersion, RefusesHeadersAndSectionsThatDoNotHold) {
    Image other_magic(false);
    other_magic.u16(Image::optional_header, 0x107);
    EXPECT_EQ(version_of(other_magic.bytes), KIVVERSION_MALFORMED);

    Image short_optional(true);
    short_optional.u16(Image::file_header + 16, 100);  // ends before the data directories
    EXPECT_EQ(version_of(short_optional.bytes), KIVVERSION_MALFORMED);

    Image many_sections(false);
    many_sections.u16(Image::file_header + 2, 0xFFFF);
    EXPECT_EQ(version_of(many_sections.bytes), KIVVERSION_MALFORMED);

    Image unmapped(false);
    unmapped.u32(unmapped.resource_directory(), 0x9000);
    EXPECT_EQ(version_of(unmapped.bytes), KIVVERSION_MALFORMED);

    Image raw_outside(true);
    raw_outside.u32(raw_outside.sections() + 20, 0xFFFFFF00u);
    EXPECT_EQ(version_of(raw_outside.bytes), KIVVERSION_MALFORMED);

    Image block_unmapped(false);
    block_unmapped.u32(Image::in_section(Image::data_entry), 0xFFFFFFF0u);
    EXPECT_EQ(version_of(block_unmapped.bytes), KIVVERSION_MALFORMED);
    EXPECT_EQ(high, marker);
}

TEST_F(FileVersion, RefusesOversizedResourceDirectories) {
    Image larger_than_section(false);
    larger_than_section.u32(larger_than_section.resource_directory() + 4, 0x10000);
    EXPECT_EQ(version_of(larger_than_section.bytes), KIVVERSION_MALFORMED);

    Image too_many_ids(false);
    too_many_ids.directory(0, 0, 0xFFFF);
    EXPECT_EQ(version_of(too_many_ids.bytes), KIVVERSION_MALFORMED);

    Image too_many_names(false);
    too_many_names.directory(Image::types, 0xFFFF, 1);
    EXPECT_EQ(version_of(too_many_names.bytes), KIVVERSION_MALFORMED);

    Image directory_outside(false);
    directory_outside.entry(0, 0, 16, 0x80000000u | 0x7FFFFFF0u);
    EXPECT_EQ(version_of(directory_outside.bytes), KIVVERSION_MALFORMED);

    Image data_entry_outside(false);
    data_entry_outside.entry(Image::languages, 0, 0x409, Image::section_size - 8);
    EXPECT_EQ(version_of(data_entry_outside.bytes), KIVVERSION_MALFORMED);
    EXPECT_EQ(high, marker);
}

TEST_F(FileVersion, RefusesDirectoriesThatLoopOrNestTooDeep) {
    // A name's entry that leads back to the root, whose first entry is
    // data: followed, it would read as a language of that name.
    Image to_root(false);
    const std::uint32_t types = Image::section_size;
    to_root.grow(types + 0x18);
    to_root.directory(0, 0, 2);
    to_root.entry(0, 0, 3, Image::data_entry);
    to_root.entry(0, 1, 16, 0x80000000u | types);
    to_root.directory(types, 0, 1);
    to_root.entry(types, 0, 1, 0x80000000u);
    EXPECT_EQ(version_of(to_root.bytes), KIVVERSION_MALFORMED);

    Image to_itself(false);
    to_itself.entry(Image::types, 0, 1, 0x80000000u | Image::types);
    EXPECT_EQ(version_of(to_itself.bytes), KIVVERSION_MALFORMED);

    Image back_to_types(false);
    back_to_types.entry(Image::languages, 0, 0x409, 0x80000000u | Image::types);
    EXPECT_EQ(version_of(back_to_types.bytes), KIVVERSION_MALFORMED);

    Image fourth_level(false);
    fourth_level.entry(Image::languages, 0, 0x409, 0x80000000u | Image::data_entry);
    EXPECT_EQ(version_of(fourth_level.bytes), KIVVERSION_MALFORMED);

    Image data_for_a_name(false);
    data_for_a_name.entry(Image::types, 0, 1, Image::data_entry);
    EXPECT_EQ(version_of(data_for_a_name.bytes), KIVVERSION_MALFORMED);
    EXPECT_EQ(high, marker);
}

TEST_F(FileVersion, RefusesAVersionBlockThatDoesNotHold) {
    Image short_size(false);
    short_size.u32(Image::in_section(Image::data_entry) + 4, 91);
    EXPECT_EQ(version_of(short_size.bytes), KIVVERSION_MALFORMED);

    Image short_length(false);
    short_length.u16(Image::in_section(Image::block), 60);
    EXPECT_EQ(version_of(short_length.bytes), KIVVERSION_MALFORMED);

    Image longer_than_resource(false);
    longer_than_resource.u16(Image::in_section(Image::block), 200);
    EXPECT_EQ(version_of(longer_than_resource.bytes), KIVVERSION_MALFORMED);

    Image short_value(false);
    short_value.u16(Image::in_section(Image::block) + 2, 20);
    EXPECT_EQ(version_of(short_value.bytes), KIVVERSION_MALFORMED);

    Image other_key(false);
    other_key.u16(Image::in_section(Image::block) + 6, 'W');
    EXPECT_EQ(version_of(other_key.bytes), KIVVERSION_MALFORMED);

    Image other_signature(true);
    other_signature.u32(Image::in_section(Image::block) + 40, 0xFEEF04BEu);
    EXPECT_EQ(version_of(other_signature.bytes), KIVVERSION_MALFORMED);
    EXPECT_EQ(high, marker);
}

// The DLLs that the build made with mingw-w64 from version_image/, each
// with file version 1.2.3.4 (KIVCOPY_VERSION_IMAGES, paths split by "|").
TEST_F(FileVersion, ReadsTheVersionOfDllsThatAToolchainBuilt) {
    const std::string listed = KIVCOPY_VERSION_IMAGES;
    if (listed.empty()) {
        GTEST_SKIP() << "mingw-w64's gcc and windres were not found when the build was configured: "
                        "no DLL was built to read";
    }
    std::size_t start = 0;
    while (start <= listed.size()) {
        const std::size_t end = std::min(listed.find('|', start), listed.size());
        const std::string image = listed.substr(start, end - start);
        start = end + 1;
        SCOPED_TRACE(image);
        high = low = marker;
        EXPECT_EQ(KivFileVersion(image.c_str(), &high, &low), KIVCOPY_OK);
        EXPECT_EQ(high, 0x00010002u);
        EXPECT_EQ(low, 0x00030004u);
    }
}

TEST_F(FileVersion, DoesNotOpenWhatIsNoReadableFile) {
    EXPECT_EQ(KivFileVersion(path("missing").c_str(), &high, &low), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(KivFileVersion(dir().c_str(), &high, &low), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(KivFileVersion(nullptr, &high, &low), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(high, marker);
}

}  // namespace

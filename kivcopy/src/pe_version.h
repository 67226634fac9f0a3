/* SPDX-License-Identifier: Zlib */
// The file version of a Windows program or DLL, read from its bytes on any
// platform: the version resource's fixed part (VS_FIXEDFILEINFO), the
// version that Windows shows for the file. The reader is written for
// files that anyone may have made: every offset and size the file gives is
// checked against the file before it is used, nothing is allocated from
// them, and each read is a few bytes at a checked offset, so that a file of
// any size or shape costs a bounded number of small reads.
//
// The way to the version, as the Windows loader finds a resource: the DOS
// header's offset to the PE header, the optional header (PE32 or PE32+)
// and its resource data directory, the section table that maps relative
// virtual addresses (RVAs) to file offsets, then the resource directory:
// the entry of type RT_VERSION (16), in it the entry of ID 1
// (VS_VERSION_INFO, the one GetFileVersionInfoW asks for), in that the
// first language, whose data entry gives the
// version block's RVA and size. The block is VS_VERSIONINFO: its length,
// the length of its value, its type, the key L"VS_VERSION_INFO", padding
// to 4 bytes, and the value, a VS_FIXEDFILEINFO whose signature is
// 0xFEEF04BD.
//
// What is "no version" and what is "malformed": a file that is no PE
// image (no "MZ", a PE header offset that leads out of the file, no
// "PE\0\0" there: a DOS program, a text file, an empty file) has no
// version, and so has an image without a resource directory, without an
// RT_VERSION entry in it, with an RT_VERSION directory without ID 1 or a
// name that holds no entry, or whose version block has no value (a length of 0). Anything
// else that does not hold is malformed: an optional header of another
// kind or cut short, a section table or resource directory that lies
// outside the file, an RVA that no section's bytes in the file hold, a
// resource directory larger than its section, a directory with more
// entries than its section can hold, an entry that leads back to a
// directory already visited, a directory where data was due (deeper than
// the three levels) or data where a directory was due, a version block
// shorter than its key and a VS_FIXEDFILEINFO, another key, or another
// signature.
#ifndef KIVCOPY_PE_VERSION_H
#define KIVCOPY_PE_VERSION_H

#include <cstddef>
#include <cstdint>

namespace kivcopy::pe {

// The bytes of a file, read at offsets: the file through its handle for
// the export, a buffer for the fuzzer and the tests.
class Bytes {
public:
    virtual ~Bytes() = default;
    // The file's length in bytes.
    virtual std::uint64_t size() const = 0;
    // Reads exactly `count` bytes at `offset`, which the reader has checked
    // lie within size(); false if they cannot be read.
    virtual bool read(std::uint64_t offset, void* buffer, std::size_t count) = 0;
};

// What reading a version found.
enum class VersionRead {
    found,       // the version is in the result
    none,        // not a PE image, or one without a version resource
    malformed,   // a PE image whose headers or resources do not hold
    unreadable,  // a read of bytes within the file failed
};

// A file version as Windows gives it: dwFileVersionMS (major << 16 |
// minor) and dwFileVersionLS (build << 16 | revision).
struct FileVersion {
    std::uint32_t high = 0;
    std::uint32_t low = 0;
};

// Reads the file version of the image in `bytes`; `version` is set only
// when it is found.
VersionRead read_file_version(Bytes& bytes, FileVersion& version);

}  // namespace kivcopy::pe

#endif

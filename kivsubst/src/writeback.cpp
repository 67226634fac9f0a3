// SPDX-License-Identifier: Zlib
#include "writeback.h"

namespace kivsubst {
namespace {

// Copies the whole of `from`, from its start, to the current position of
// `to`, inside the system where it can and through `buffer` where it
// cannot; false on a failed read or write or if `from` does not hold
// exactly `length` bytes.
bool copy_contents(platform::File& from, platform::File& to, std::int64_t length,
                   unsigned char* buffer, std::size_t buffer_size) {
    if (!from.seek_to(0)) {
        return false;
    }
    std::int64_t copied = 0;
    switch (platform::copy_inside_system(from, to, length, copied)) {
        case platform::KernelCopy::copied:
            return copied == length;
        case platform::KernelCopy::failed:
            return false;
        case platform::KernelCopy::unsupported:
            break;
    }
    for (;;) {
        std::ptrdiff_t got = from.read_some(buffer, buffer_size);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return copied == length;
        }
        if (!platform::write_hinted(to, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
        copied += got;
    }
}

}  // namespace

// The file was opened without truncation. Every refusal that can be had
// before the old content is touched comes first, while it is still whole:
// another program's lock on part of it (the file is locked against every
// other writer), a full disk (space for the new content is reserved where
// the file system can), and, where the system may refuse to cut a file
// (Windows, while another program maps it), the cut to a shorter length.
// The old content is then overwritten, and elsewhere cut to the new length
// at the end. The file is synced (here, or by the caller) before the
// temporary file may be deleted.
bool write_back(platform::File& temporary, std::int64_t length, platform::File& file,
                const platform::Privileges& privileges, unsigned char* buffer,
                std::size_t buffer_size, bool sync) {
    if (!file.lock_for_writing() || file.reserve(0, length) == platform::Reservation::no_space) {
        return false;
    }
    if (platform::shortens_before_writing && file.length() > length &&
        !(file.set_size(length) && file.seek_to(0))) {
        return false;
    }
    if (!copy_contents(temporary, file, length, buffer, buffer_size)) {
        return false;
    }
    if (file.length() > length && !file.set_size(length)) {
        return false;
    }
    platform::restore(file, privileges);
    return !sync || file.sync();
}

}  // namespace kivsubst

/* SPDX-License-Identifier: Zlib */
// A caller's byte string: raw bytes and their count, NUL bytes included.
// `data` is never null, not even for an empty string, so that the bytes can
// go to memcpy and the like as they are.
#ifndef KIVSUBST_BYTES_H
#define KIVSUBST_BYTES_H

#include <cstddef>

namespace kivsubst {

struct Bytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

}  // namespace kivsubst

#endif

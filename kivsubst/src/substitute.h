/* SPDX-License-Identifier: Zlib */
// One call of the substitution, from the temporary name to the restored
// times.
#ifndef KIVSUBST_SUBSTITUTE_H
#define KIVSUBST_SUBSTITUTE_H

#include "bytes.h"
#include "paths.h"

namespace kivsubst {

// Replaces every occurrence of `pattern` (at least one byte) in the file at
// `path` with `replacement`, printing a line for a failure. Returns the
// library's result code.
int substitute(const Path& path, Bytes pattern, Bytes replacement);

}  // namespace kivsubst

#endif

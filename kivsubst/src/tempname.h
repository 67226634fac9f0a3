/* SPDX-License-Identifier: Zlib */
// The temporary-name service. Names are "KIV" and a decimal sequence number,
// eight characters at most and without extension, in the directory that the
// environment and the file's own location choose.
#ifndef KIVSUBST_TEMPNAME_H
#define KIVSUBST_TEMPNAME_H

#include <optional>
#include <string>

#include "platform.h"

namespace kivsubst::tempname {

// The directory for temporary files, and whether it is the file's own.
struct Choice {
    Path directory;
    bool is_files_own = false;
};

// The directory that TMP names, if it exists (with any double quotes
// removed, if it does not exist as given).
std::optional<Path> tmp_directory();

// The directory for temporary files: the one that TMP names, if it exists
// (with any double quotes removed, if it does not exist as given); else
// `preferred`, the file's own drive and directory, if it is not empty and
// exists; else the root directory, if it exists; else the current directory.
Choice choose_directory(const Path& preferred);

// The next name in `directory` that may be used: "KIV" and a number. The
// sequence number rises with every name tried in this process, skipping
// names that are taken or whose check is refused; none is returned once it
// has come full circle. A name whose check fails for any other reason is
// used: creating the file will fail and say why.
std::optional<Path> next_free_name(const platform::Directory& directory);

}  // namespace kivsubst::tempname

#endif

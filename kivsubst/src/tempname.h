// The temporary-name service. Names are "KIV" and a decimal sequence number,
// eight characters at most and without extension, in the directory that the
// environment and the file's own location choose.
#ifndef KIVSUBST_TEMPNAME_H
#define KIVSUBST_TEMPNAME_H

#include <optional>
#include <string>

namespace kivsubst::tempname {

// The directory for temporary files: the one that TMP names, if it exists
// (with any double quotes removed, if it does not exist as given); else
// `preferred`, the file's own drive and directory, if it is not empty and
// exists; else the root directory, if it exists; else the current directory.
std::string choose_directory(const std::string& preferred);

// The next name in `directory` that is free. The sequence number rises with
// every name tried in this process, skipping names that are taken or cannot
// be checked; none is returned once it has come full circle.
std::optional<std::string> next_free_name(const std::string& directory);

}  // namespace kivsubst::tempname

#endif

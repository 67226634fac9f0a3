/* SPDX-License-Identifier: Zlib */
// One file's copy as the front end makes it: each copy is one call of
// KivCopyFile, with what cp and install do around it (checks that tell a
// failure in the system's words, -u, backups, -f's retry, -p, -v).
#ifndef KIVCOPY_CLI_COPIER_H
#define KIVCOPY_CLI_COPIER_H

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kivcli/progress.h"
#include "options.h"

namespace kivcopy_cli {

// Where a file found under a directory being copied goes.
enum class Place {
    merged,        // a directory that was there before the run: the target may exist
    made,          // made by this run, but others may write in it
    made_private,  // made by this run, and no one else may write in it: nothing is there
};

class Copier {
public:
    Copier(const Options& options, kivcli::Progress& progress);

    // A file named on the command line, checked first, so that a failure is
    // told in the system's words. False when it failed (a target left alone
    // is no failure).
    bool copy_named(const std::string& source, const std::string& target);
    // A regular file found in a directory being copied, of `size` bytes.
    bool copy_found(const std::string& source, const std::string& target, std::int64_t size,
                    Place place);
    // A symbolic link found in a directory being copied: made anew at the
    // target, pointing where the source's points.
    bool copy_symbolic_link(const std::string& source, const std::string& target, bool may_exist);

    // Gives a directory copied what -p asks of its source.
    bool preserve_directory(const std::string& source, const std::string& target);

    bool fail(const std::string& message);
    void tell(const std::string& line) const;

private:
    enum class Next { copy, skip, failed };

    bool judge_source(const std::string& source, int error, const struct stat& status);
    bool check_source(const std::string& source, struct stat& status);
    bool check_readable(const std::string& source);
    bool explain_unopened(const std::string& source);
    void record_written();
    Next check_target(const std::string& source, const struct stat& source_status,
                      const std::string& target, bool& exists);
    Next decide(const std::string& target, const struct stat& source_status);
    bool copy(const std::string& source, const std::string& target, const struct stat* status,
              std::int64_t size, bool exists, bool guarded = true);
    int call_library(const std::string& source, const std::string& target, bool overwrite,
                     std::int64_t size);
    std::optional<int> retry_after_removing(const std::string& source, const std::string& target,
                                            std::int64_t size);
    bool skip(const std::string& target, const char* why);
    std::string reason_for(int result, const std::string& target) const;

    const Options& options_;
    kivcli::Progress& progress_;
    std::int64_t done_ = 0;  // bytes of the files finished
    // Targets written by this run, never replaced by a later source of it.
    std::set<std::pair<std::uint64_t, std::uint64_t>> written_;
    std::set<std::string> written_names_;  // where no identity is to be had (Windows)
    std::vector<std::string> unrecorded_;  // written, identity not read yet
    std::string last_directory_;           // the last target directory found to exist
};

}  // namespace kivcopy_cli

#endif

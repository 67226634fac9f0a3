/* SPDX-License-Identifier: Zlib */
// The copy's steps for the front end, which links the library's core
// itself: the same steps that KivCopyFile takes, one at a time, on files
// named by a directory the front end holds open and a name in it, so that
// no name is resolved twice. The target stays open after the data is
// written, for what the front end gives it (its mode, owner and times)
// through the handle, before the finishing step closes it. Installers use
// the export; only the front end uses this.
#ifndef KIVCOPY_ENGINE_H
#define KIVCOPY_ENGINE_H

#include "copy.h"
#include "platform.h"

namespace kivcopy::engine {

using platform::File;
using platform::FileIdentity;
using platform::Links;
using platform::Place;
using platform::Source;

// Opens the source; see platform::open_source_for. `error` is the
// system's error where the outcome says there is one.
platform::SourceOpening open_source(Place where, Links links, const FileIdentity* expected,
                                    Source& source, int& error);

// Creates the target as a new file with `permissions` (less the umask),
// never opening anything already at the name; `error` says why it failed.
platform::Creation create_target(Place where, unsigned permissions, File& target, int& error);

// Opens the existing target at `where` to be replaced (cut to nothing),
// following a link at the name only with Links::follow; `error` says why
// it was refused.
platform::Replacing open_existing_target(Place where, Links links, const Source& source,
                                         File& target, int& error);

// How writing the copy went.
struct Written {
    CopyStatus status = CopyStatus::copied;  // copied, or why the data did not all arrive
    bool stamped = false;  // the target's times were set
    bool closed = false;   // a failure that closed both files already
    int error = 0;         // the system's error for a failure
    bool sharing_refused = false;  // blocks could not be shared where that was required
};

// KivCopyFile's stamp: both of the copy's times are the source's last
// access.
inline kivcommon::FileTimes access_stamp(const Source& source) {
    return {source.access, source.access};
}

// Copies the source's data into the open target, sharing its blocks as
// `sharing` says, and stamps the target with `stamp` (KivCopyFile's is
// access_stamp), in the one call that sets its times. Both stay open
// unless the data could not all be moved; then both are closed, target
// first.
Written write_copy(Source& source, File& target, Sharing sharing,
                   const kivcommon::FileTimes& stamp);

// What the finishing step found, as separate facts that each caller ranks
// in its own way.
struct Closed {
    // copied where the data all arrived, were written out and the target
    // closed; else why not (a failed write-out or close: target_not_written).
    CopyStatus status = CopyStatus::copied;
    bool moved = false;    // the data all arrived in the target
    bool stamped = false;  // the target's times were set
};

// The finishing step: closes the target, then the source (unless a failed
// move closed both already), and says how the copy ended.
Closed close_copy(const Written& written, File& target, Source& source);

// KivCopyFile's result for a finished copy: data that did not all arrive
// say why; then a target left unstamped gives times_not_set, even where
// its write-out or close failed too; then the close's status.
CopyStatus copy_result(const Closed& closed);

}  // namespace kivcopy::engine

#endif

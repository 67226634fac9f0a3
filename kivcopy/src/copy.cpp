// SPDX-License-Identifier: Zlib
// The copy's steps: the guard, the source and target opened, the data moved
// (data.cpp), the copy stamped and both files closed in order.
#include "copy.h"

#include <cstdint>

#include "data.h"
#include "engine.h"
#include "kivcopy.h"
#include "platform.h"

namespace kivcopy {
namespace {

using platform::File;

// Every path that ends after a file was opened ends here. The first file
// (the target, or the probe of the target) is closed before the source. A
// target that cannot be closed may not hold what was written to it, so that
// failure replaces whatever status was reached before; the source's close
// is not examined, since nothing was written to it.
CopyStatus finish(CopyStatus status, File& first, File& source) {
    if (!first.close()) {
        status = CopyStatus::target_not_written;
    }
    source.close();
    return status;
}

CopyStatus finish(CopyStatus status, File& first) {
    File none;
    return finish(status, first, none);
}

// How many times a name that changes under the copy is looked at again
// before the copy gives up on it.
constexpr int attempts_at_a_changing_name = 3;

// Opens the target for the copy. A new target is always created
// exclusively, with the source's permission bits, so that nothing that
// appears at the name meanwhile is written into by accident. On failure
// `target` may hold a probe to be closed first by the finishing step.
CopyStatus open_target(platform::Place where, const platform::Source& source,
                       ExistingTarget existing, File& target) {
    for (int attempt = 0; attempt < attempts_at_a_changing_name; ++attempt) {
        platform::Creation creation = platform::Creation::failed;
        target = platform::create_target(where, source.permissions, creation);
        if (creation == platform::Creation::created) {
            return CopyStatus::copied;
        }
        if (creation == platform::Creation::failed) {
            return CopyStatus::target_not_written;
        }
        if (existing == ExistingTarget::keep) {
            // Something took the name after the guard looked, or the
            // target there could not be opened for replacing at all (read
            // only, not a regular file, a link to nothing).
            target = platform::probe_target(where);
            return target.is_open() ? CopyStatus::target_exists : CopyStatus::target_not_written;
        }
        platform::Replacing replacing = platform::Replacing::refused;
        target = platform::open_target_to_replace(where, platform::Links::follow,
                                                  source.identity, replacing);
        switch (replacing) {
            case platform::Replacing::opened:
                return CopyStatus::copied;
            case platform::Replacing::refused:
            case platform::Replacing::is_source:
                return CopyStatus::target_not_written;
            case platform::Replacing::absent:
                break;  // removed meanwhile, or a link to nothing: look again
        }
    }
    // A symbolic link to nothing stays where it is: the copy never creates
    // the file it points at, which could be anywhere.
    return CopyStatus::target_not_written;
}

}  // namespace

namespace engine {

platform::SourceOpening open_source(Place where, Links links, const FileIdentity* expected,
                                    Source& source, int& error) {
    return platform::open_source_for(where, links, expected, source, error);
}

platform::Creation create_target(Place where, unsigned permissions, File& target, int& error) {
    platform::Creation creation = platform::Creation::failed;
    target = platform::create_target(where, permissions, creation);
    if (creation != platform::Creation::created) {
        error = platform::last_error();
    }
    return creation;
}

platform::Replacing open_existing_target(Place where, Links links, const Source& source,
                                         File& target, int& error) {
    platform::Replacing replacing = platform::Replacing::refused;
    target = platform::open_target_to_replace(where, links, source.identity, replacing);
    if (replacing != platform::Replacing::opened) {
        error = platform::last_error();
    }
    return replacing;
}

// The copy is stamped through the handle it was written through, so that
// whatever its name stands for by now is not touched.
Written write_copy(Source& source, File& target, Sharing sharing,
                   const kivcommon::FileTimes& stamp) {
    Written written;
    const MovedData moved = move_data(source, target, sharing);
    if (moved.status != CopyStatus::copied) {
        written.error = platform::last_error();
        written.sharing_refused = moved.sharing_refused;
        written.status = finish(moved.status, target, source.file);
        written.closed = true;
        return written;
    }
    // The last gathered bytes go out as the target is finished: failing
    // there, like failing to close, means the target may not hold the copy.
    if (!moved.written_out) {
        written.error = platform::last_error();
        written.status = CopyStatus::target_not_written;
    }
    written.stamped = target.set_times(stamp);
    return written;
}

Closed close_copy(const Written& written, File& target, Source& source) {
    if (written.closed) {
        return {written.status, false, written.stamped};
    }
    return {finish(written.status, target, source.file), true, written.stamped};
}

// Failing to stamp the copy wins over a failed write-out or close.
CopyStatus copy_result(const Closed& closed) {
    return closed.stamped || !closed.moved ? closed.status : CopyStatus::times_not_set;
}

}  // namespace engine

std::int32_t result_of(CopyStatus status) {
    switch (status) {
        case CopyStatus::copied:
            return KIVCOPY_OK;
        case CopyStatus::source_not_opened:
            return KIVCOPY_SOURCE_NOT_OPENED;
        default:
            return -static_cast<std::int32_t>(status);
    }
}

CopyStatus copy_file(const platform::PathChar* source_path, const platform::PathChar* target_path,
                     ExistingTarget existing) {
    if (source_path == nullptr) {
        return CopyStatus::source_not_opened;
    }
    if (target_path == nullptr) {
        return CopyStatus::target_not_written;
    }
    const platform::Place source_place = platform::place_of(source_path);
    const platform::Place target_place = platform::place_of(target_path);

    // The guard: a target that could be replaced is left alone.
    if (existing == ExistingTarget::keep) {
        File probe = platform::probe_target(target_place);
        if (probe.is_open()) {
            return finish(CopyStatus::target_exists, probe);
        }
    }

    platform::Source source;
    if (!platform::open_source(source_place, source)) {
        return CopyStatus::source_not_opened;
    }
    File target;
    CopyStatus opened = open_target(target_place, source, existing, target);
    if (opened != CopyStatus::copied) {
        return finish(opened, target, source.file);
    }
    // Stamped with the source's last-access time, not its modification time.
    const engine::Written written =
        engine::write_copy(source, target, Sharing::when_possible, engine::access_stamp(source));
    return engine::copy_result(engine::close_copy(written, target, source));
}

}  // namespace kivcopy

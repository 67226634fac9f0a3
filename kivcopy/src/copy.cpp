// SPDX-License-Identifier: Zlib
#include "copy.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine.h"
#include "kivcopy.h"
#include "platform.h"

namespace kivcopy {
namespace {

using platform::File;

// Every block that a copy moves through the process passes through this one
// buffer, which lives as long as the library; calls must therefore never
// overlap. (On Linux most data never comes here: see KernelCopy.)
constexpr std::size_t block_size = 2048;
unsigned char block_buffer[block_size];

// The streams' buffers are much larger than a block, so that a big file
// moves through the system in few, large reads and writes, and a small one
// in one read and one write; the platform says how large. Like the block
// buffer they belong to the library, as calls never overlap.
constexpr std::size_t stream_buffer_size = platform::transfer_size;
unsigned char source_stream_buffer[stream_buffer_size];
unsigned char target_stream_buffer[stream_buffer_size];

// The source as a buffered input stream: blocks are served from a large
// buffer that is refilled with one read when it runs dry. A stream over one
// run of data of a file with holes is given the run's length, and reads no
// further.
class SourceStream {
public:
    static constexpr std::int64_t to_the_end = std::numeric_limits<std::int64_t>::max();

    explicit SourceStream(File& file, std::int64_t length = to_the_end)
        : file_(file), unread_(length) {}

    // Reads up to `size` bytes into `into`; fewer only at the end or on a
    // failure, which failed() then reports.
    std::size_t read(unsigned char* into, std::size_t size) {
        std::size_t delivered = 0;
        while (delivered < size && refill()) {
            std::size_t step = size - delivered < end_ - next_ ? size - delivered : end_ - next_;
            std::memcpy(into + delivered, source_stream_buffer + next_, step);
            next_ += step;
            delivered += step;
        }
        return delivered;
    }
    bool failed() const { return failed_; }

private:
    // Makes sure unread bytes are buffered; false at the end or on failure.
    bool refill() {
        if (next_ < end_) {
            return true;
        }
        if (at_end_ || failed_ || unread_ == 0) {
            return false;
        }
        std::size_t wanted = unread_ < static_cast<std::int64_t>(stream_buffer_size)
                                 ? static_cast<std::size_t>(unread_)
                                 : stream_buffer_size;
        std::ptrdiff_t got = file_.read_some(source_stream_buffer, wanted);
        failed_ = got < 0;
        at_end_ = got == 0;
        next_ = 0;
        end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        unread_ -= static_cast<std::int64_t>(end_);
        return got > 0;
    }

    File& file_;
    std::int64_t unread_;
    std::size_t next_ = 0;
    std::size_t end_ = 0;
    bool at_end_ = false;
    bool failed_ = false;
};

// The target as a buffered output stream: blocks are gathered in a large
// buffer that is written out when it is full and when the copy finishes.
class TargetStream {
public:
    explicit TargetStream(File& file) : file_(file) {}

    // Takes all `size` bytes; false if a write to the file failed.
    bool write(const unsigned char* bytes, std::size_t size) {
        while (size > 0) {
            if (used_ == stream_buffer_size && !flush()) {
                return false;
            }
            std::size_t room = stream_buffer_size - used_;
            std::size_t step = size < room ? size : room;
            std::memcpy(target_stream_buffer + used_, bytes, step);
            used_ += step;
            bytes += step;
            size -= step;
        }
        return true;
    }
    // Writes out what is gathered; false if the file did not take it all.
    bool flush() {
        bool written = used_ == 0 || file_.write_all(target_stream_buffer, used_);
        used_ = 0;
        return written;
    }

private:
    File& file_;
    std::size_t used_ = 0;
};

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

// The system's own ways of moving a run of data, tried before the block
// loop: first the target shares the run's blocks with the source (a
// reflink, where both lie on one file system that can share blocks), then
// the kernel copies the run from file to file (copy_file_range), and the
// block loop moves whatever is left. Each way that is refused or fails is
// not tried again for the rest of the copy. Nothing tells these ways apart
// from the block loop but their speed: the target's bytes, holes, size and
// position are the same, and a copy that fails part-way through the run
// goes on in the block loop from the byte where it stopped, so that a
// source that cannot be read, or a target that cannot be written, fails
// there and is told apart as it always was.
class KernelCopy {
public:
    explicit KernelCopy(Sharing sharing)
        : may_share_(sharing != Sharing::never),
          must_share_(sharing == Sharing::required),
          may_copy_(sharing != Sharing::never) {}

    // Whether a run could not share its blocks where sharing was required.
    bool sharing_refused() const { return sharing_refused_; }

    // Moves what the kernel will of [start, end) of the source to the same
    // place in the target, both files placed at `start`, and sets `moved_to`
    // to where it stopped, both files placed there. The target stream must
    // hold nothing, as its bytes would go after the kernel's.
    CopyStatus copy_run(File& source, File& target, std::int64_t start, std::int64_t end,
                        std::int64_t& moved_to) {
        moved_to = start;
        if (end <= start) {
            return CopyStatus::copied;
        }
        if (may_share_) {
            if (target.clone_range_from(source, start, end - start)) {
                moved_to = end;
                // Sharing moves neither position: both go past the run, where
                // reading and writing it would have left them.
                if (!source.seek_to(end)) {
                    return CopyStatus::source_not_read;
                }
                return target.seek_to(end) ? CopyStatus::copied : CopyStatus::target_not_written;
            }
            may_share_ = false;
            if (must_share_) {
                sharing_refused_ = true;
                return CopyStatus::target_not_written;
            }
        }
        while (may_copy_ && moved_to < end) {
            std::int64_t copied = target.copy_range_from(source, end - moved_to);
            if (copied < 0) {
                may_copy_ = false;
            } else if (copied == 0) {
                break;  // the source ended early; the block loop's read tells
            } else {
                moved_to += copied;
            }
        }
        return CopyStatus::copied;
    }

private:
    bool may_share_;
    bool must_share_;
    bool may_copy_;
    bool sharing_refused_ = false;
};

// Moves the source to the target block by block until the source ends.
CopyStatus copy_blocks(SourceStream& source, TargetStream& target) {
    for (;;) {
        std::size_t got = source.read(block_buffer, block_size);
        if (got == 0) {
            return source.failed() ? CopyStatus::source_not_read : CopyStatus::copied;
        }
        if (!target.write(block_buffer, got)) {
            return CopyStatus::target_not_written;
        }
    }
}

// Copies a source that has holes: each run of data is moved like any other
// data, by the kernel or through the block buffer, and the target is moved
// past each hole unwritten, which leaves a hole there too. Where the source
// ends in a hole the target is given the source's size; where it ends in
// data the target ends where reading ended, as in a plain copy, which keeps
// a file whose status overstates its size (one the system makes up as it
// is read) from being padded to that size.
CopyStatus copy_with_holes(platform::Source& source, File& target, TargetStream& writer,
                           KernelCopy& kernel) {
    std::int64_t copied_to = 0;
    for (;;) {
        platform::DataRun run;
        platform::DataSearch search = source.file.find_data(copied_to, run);
        if (search == platform::DataSearch::failed) {
            return CopyStatus::source_not_read;
        }
        if (search == platform::DataSearch::none) {
            break;
        }
        if (run.start > copied_to && !(writer.flush() && target.seek_to(run.start))) {
            return CopyStatus::target_not_written;
        }
        std::int64_t moved_to = run.start;
        CopyStatus copied = writer.flush()
                                ? kernel.copy_run(source.file, target, run.start, run.end, moved_to)
                                : CopyStatus::target_not_written;
        if (copied != CopyStatus::copied) {
            return copied;
        }
        SourceStream reader(source.file, run.end - moved_to);
        copied = copy_blocks(reader, writer);
        if (copied != CopyStatus::copied) {
            return copied;
        }
        copied_to = run.end;
    }
    bool ends_in_hole = copied_to < source.size;
    if (ends_in_hole && !(writer.flush() && target.set_size(source.size))) {
        return CopyStatus::target_not_written;
    }
    return CopyStatus::copied;
}

// Only a source that may have holes is searched for them, and only a
// target that can keep holes is given them. Any other copy is one run: the
// kernel moves the bytes that the source's status counts, and the block
// loop reads on from there to the source's end, as it read the whole file
// before, so that a file that grew meanwhile is copied to its new end.
CopyStatus copy_data(platform::Source& source, File& target, TargetStream& writer,
                     KernelCopy& kernel) {
    if (source.may_have_holes && target.allow_holes()) {
        return copy_with_holes(source, target, writer, kernel);
    }
    std::int64_t moved_to = 0;
    CopyStatus moved = kernel.copy_run(source.file, target, 0, source.size, moved_to);
    if (moved != CopyStatus::copied) {
        return moved;
    }
    SourceStream reader(source.file);
    return copy_blocks(reader, writer);
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

// The copy is stamped with the source's last-access time, not its
// modification time, through the handle it was written through, so that
// whatever its name stands for by now is not touched.
Written write_copy(Source& source, File& target, Sharing sharing) {
    Written written;
    TargetStream writer(target);
    KernelCopy kernel(sharing);
    written.status = copy_data(source, target, writer, kernel);
    if (written.status != CopyStatus::copied) {
        written.error = platform::last_error();
        written.sharing_refused = kernel.sharing_refused();
        written.status = finish(written.status, target, source.file);
        written.closed = true;
        return written;
    }
    // The last gathered bytes go out as the target is finished: failing
    // there, like failing to close, means the target may not hold the copy.
    if (!writer.flush()) {
        written.error = platform::last_error();
        written.status = CopyStatus::target_not_written;
    }
    written.stamped = target.set_both_times(source.access);
    return written;
}

// Failing to stamp the copy wins over a failed write-out or close.
CopyStatus close_copy(const Written& written, File& target, Source& source) {
    if (written.closed) {
        return written.status;
    }
    CopyStatus closed = finish(written.status, target, source.file);
    return written.stamped ? closed : CopyStatus::times_not_set;
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
    const engine::Written written = engine::write_copy(source, target, Sharing::when_possible);
    return engine::close_copy(written, target, source);
}

}  // namespace kivcopy

// SPDX-License-Identifier: Zlib
// Moving a copy's data: shared blocks or the kernel's copy where the system
// offers them, else large reads and writes through the library's block
// buffer; holes in the source stay holes in the target.
#include "data.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <thread>

namespace kivcopy {
namespace {

using platform::File;

// Every byte that a copy moves through the process passes through a block
// buffer. (On Linux most data never comes here: see KernelCopy.) The
// source is read straight into it and it is written out whole, so that no
// byte is copied inside the process: a big file moves through the system
// in few, large reads and writes, and a small one in one read and one
// write.
//
// The library keeps one buffer, which a call borrows for its duration; a
// call that overlaps another's (on another thread) takes one of its own
// from the heap instead and frees it at its end. A caller that makes one
// call at a time so never allocates, as before, and pays nothing for
// the threads that others use; calls at once never share a buffer. Where
// the heap has no room for an overlapping call's buffer, the call waits
// for the library's rather than fail.
unsigned char library_buffer[block_size];
std::atomic<bool> library_buffer_lent{false};

class BlockBuffer {
public:
    BlockBuffer() {
        if (borrow()) {
            return;
        }
        own_.reset(new (std::nothrow) unsigned char[block_size]);
        data_ = own_.get();
        while (data_ == nullptr && !borrow()) {
            std::this_thread::yield();
        }
    }
    ~BlockBuffer() {
        if (data_ == library_buffer) {
            library_buffer_lent.store(false, std::memory_order_release);
        }
    }
    BlockBuffer(const BlockBuffer&) = delete;
    BlockBuffer& operator=(const BlockBuffer&) = delete;

    unsigned char* data() const { return data_; }

private:
    // Takes the library's buffer if no other call holds it.
    bool borrow() {
        if (library_buffer_lent.exchange(true, std::memory_order_acquire)) {
            return false;
        }
        data_ = library_buffer;
        return true;
    }

    std::unique_ptr<unsigned char[]> own_;
    unsigned char* data_ = nullptr;
};

// The source, read at most to a run's end. A stream over one run of data
// of a file with holes is given the run's length, and reads no further.
class SourceStream {
public:
    static constexpr std::int64_t to_the_end = std::numeric_limits<std::int64_t>::max();

    explicit SourceStream(File& file, std::int64_t length = to_the_end)
        : file_(file), unread_(length) {}

    // Reads up to `size` bytes into `into` with one read; 0 at the end or
    // on a failure, which failed() then reports.
    std::size_t read(unsigned char* into, std::size_t size) {
        if (failed_ || unread_ == 0) {
            return 0;
        }
        std::size_t wanted = unread_ < static_cast<std::int64_t>(size)
                                 ? static_cast<std::size_t>(unread_)
                                 : size;
        std::ptrdiff_t got = file_.read_some(into, wanted);
        failed_ = got < 0;
        if (got <= 0) {
            return 0;
        }
        unread_ -= got;
        return static_cast<std::size_t>(got);
    }
    bool failed() const { return failed_; }

private:
    File& file_;
    std::int64_t unread_;
    bool failed_ = false;
};

// The target as a buffered output stream: the call's block buffer gathers
// what is read until it is full, and is written out then and when the copy
// finishes.
class TargetStream {
public:
    TargetStream(File& file, unsigned char* buffer) : file_(file), buffer_(buffer) {}

    // Where the next bytes read go, and how many fit there.
    unsigned char* room() { return buffer_ + used_; }
    std::size_t room_size() const { return block_size - used_; }
    // Takes the `size` bytes just placed in room(), writing the buffer out
    // once it is full; false if that write failed.
    bool took(std::size_t size) {
        used_ += size;
        return used_ < block_size || flush();
    }
    // Writes out what is gathered; false if the file did not take it all.
    bool flush() {
        bool written = used_ == 0 || file_.write_all(buffer_, used_);
        used_ = 0;
        return written;
    }

private:
    File& file_;
    unsigned char* buffer_;
    std::size_t used_ = 0;
};

// The system's own ways of moving a run of data, tried before the block
// loop: first the target shares the run's blocks with the source (a
// reflink, where both lie on one file system that can share blocks); else
// the target's room for a long run is reserved, and the kernel copies the
// run from file to file (copy_file_range), and the block loop moves
// whatever is left. Each way that is refused or fails is
// not tried again for the rest of the copy. Nothing tells these ways apart
// from the block loop but their speed: the target's bytes, holes, size and
// position are the same, and a copy that fails part-way through the run
// goes on in the block loop from the byte where it stopped, so that a
// source that cannot be read, or a target that cannot be written, fails
// there and is told apart by its own status.
class KernelCopy {
public:
    explicit KernelCopy(Sharing sharing)
        : may_share_(sharing != Sharing::never),
          must_share_(sharing == Sharing::required),
          may_copy_(sharing != Sharing::never) {}

    // Whether a run could not share its blocks where sharing was required.
    bool sharing_refused() const { return sharing_refused_; }
    // Where the room reserved in the target ends; 0 if none was.
    std::int64_t reserved_end() const { return reserved_end_; }

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
            if (platform::clone_range(target, source, start, end - start)) {
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
        if (end - start >= reserved_run &&
            target.reserve(start, end - start) == platform::Reservation::reserved) {
            reserved_end_ = end;
        }
        while (may_copy_ && moved_to < end) {
            std::int64_t copied = platform::copy_range(target, source, end - moved_to);
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
    std::int64_t reserved_end_ = 0;
};

// Moves the source to the target until the source ends, each read going
// into the room left in the call's block buffer.
CopyStatus copy_blocks(SourceStream& source, TargetStream& target) {
    for (;;) {
        std::size_t got = source.read(target.room(), target.room_size());
        if (got == 0) {
            return source.failed() ? CopyStatus::source_not_read : CopyStatus::copied;
        }
        if (!target.took(got)) {
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
        platform::DataSearch search = platform::find_data(source.file, copied_to, run);
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
    if (source.may_have_holes && platform::allow_holes(target)) {
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

}  // namespace

MovedData move_data(platform::Source& source, File& target, Sharing sharing) {
    const BlockBuffer buffer;
    TargetStream writer(target, buffer.data());
    KernelCopy kernel(sharing);
    MovedData moved;
    moved.status = copy_data(source, target, writer, kernel);
    moved.sharing_refused = kernel.sharing_refused();
    if (moved.status == CopyStatus::copied) {
        moved.written_out = writer.flush();
    }
    if (kernel.reserved_end() > 0) {
        platform::release_room_past_end(target, kernel.reserved_end());
    }
    return moved;
}

}  // namespace kivcopy

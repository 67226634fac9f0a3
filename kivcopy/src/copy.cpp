#include "copy.h"

#include <cstddef>
#include <cstdio>

#include "platform.h"

namespace kivcopy {
namespace {

// Every block of every copy passes through this one buffer, which lives as
// long as the library; calls must therefore never overlap.
constexpr std::size_t block_size = 2048;
unsigned char block_buffer[block_size];

// The streams' own buffers are much larger than a block, so that a big file
// moves through the system in few, large reads and writes. They are given
// explicitly: the C library may ignore a size asked for without a buffer.
// Like the block buffer they belong to the library, as calls never overlap.
constexpr std::size_t stream_buffer_size = std::size_t{256} * 1024;
char source_stream_buffer[stream_buffer_size];
char target_stream_buffer[stream_buffer_size];

void use_large_buffer(std::FILE* stream, char* buffer) {
    std::setvbuf(stream, buffer, _IOFBF, stream_buffer_size);
}

// Every path that ends after a stream was opened ends here. The first stream
// (the target, or the probe of the target) is closed before the source. A
// target that cannot be closed may not hold what was written to it, so that
// failure replaces whatever status was reached before; the source's close
// is not examined, since nothing was written to it.
CopyStatus finish(CopyStatus status, std::FILE* first, std::FILE* source) {
    if (first != nullptr && std::fclose(first) != 0) {
        status = CopyStatus::target_not_written;
    }
    if (source != nullptr) {
        std::fclose(source);
    }
    return status;
}

// Moves the source to the target block by block until the source ends.
CopyStatus copy_blocks(std::FILE* source, std::FILE* target) {
    for (;;) {
        std::size_t got = std::fread(block_buffer, 1, block_size, source);
        if (got == 0) {
            return std::ferror(source) ? CopyStatus::source_not_read : CopyStatus::copied;
        }
        // A short write is a failure even when the stream's error indicator
        // stays clear: the target would silently miss bytes.
        if (std::fwrite(block_buffer, 1, got, target) != got) {
            return CopyStatus::target_not_written;
        }
    }
}

}  // namespace

CopyStatus copy_file(const char* source_path, const char* target_path, ExistingTarget existing) {
    if (source_path == nullptr) {
        return CopyStatus::source_not_opened;
    }
    if (target_path == nullptr) {
        return CopyStatus::target_not_written;
    }

    // The guard probes for a target that could be replaced. A target that
    // exists but cannot be opened for update passes the guard and fails to
    // open for writing below.
    if (existing == ExistingTarget::keep) {
        if (std::FILE* probe = std::fopen(target_path, "rb+")) {
            return finish(CopyStatus::target_exists, probe, nullptr);
        }
    }

    std::FILE* source = platform::open_source(source_path);
    if (source == nullptr) {
        return CopyStatus::source_not_opened;
    }
    platform::TargetStream target = platform::open_target(target_path, source);
    if (target.stream == nullptr) {
        return finish(CopyStatus::target_not_written, nullptr, source);
    }
    use_large_buffer(source, source_stream_buffer);
    use_large_buffer(target.stream, target_stream_buffer);

    platform::FileTime source_access{};
    if (!platform::read_access_time(source, source_access)) {
        return finish(CopyStatus::source_not_read, target.stream, source);
    }
    CopyStatus copied = copy_blocks(source, target.stream);
    if (copied != CopyStatus::copied) {
        return finish(copied, target.stream, source);
    }
    CopyStatus closed = finish(CopyStatus::copied, target.stream, source);

    // The copy is stamped with the source's last-access time, not its
    // modification time. Failing to stamp it wins over a failed close.
    if (!platform::set_both_times(target_path, source_access)) {
        return CopyStatus::times_not_set;
    }
    return closed;
}

int result_of(CopyStatus status) {
    switch (status) {
        case CopyStatus::copied:
            return 0;
        case CopyStatus::source_not_opened:
            return 10;
        default:
            return -static_cast<int>(status);
    }
}

}  // namespace kivcopy

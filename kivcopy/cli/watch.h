/* SPDX-License-Identifier: Zlib */
// The progress line during one large copy: the library's copy tells nothing
// until it is done, so a second thread looks at the size of the copy a few
// times a second and moves the line.
#ifndef KIVCOPY_CLI_WATCH_H
#define KIVCOPY_CLI_WATCH_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "kivcli/progress.h"
#include "platform.h"

namespace kivcopy_cli {

// Watches the open copy `target` of a file of `size` bytes, `before` bytes
// into the run, while a progress line may be shown and the file is large
// enough to be worth it. The main thread leaves the progress line alone
// until stop(). The watcher waits on a condition rather than sleeping, so
// that the copy's end wakes it at once.
class CopyWatch {
public:
    CopyWatch(kivcli::Progress& progress, kivcopy::platform::NativeHandle target,
              std::int64_t before, std::int64_t size);
    ~CopyWatch() { stop(); }
    CopyWatch(const CopyWatch&) = delete;
    CopyWatch& operator=(const CopyWatch&) = delete;

    // Ends the watching; the target may then be closed.
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace kivcopy_cli

#endif

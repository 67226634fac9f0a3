// SPDX-License-Identifier: Zlib
#include "watch.h"

#include <chrono>

#include "system.h"

namespace kivcopy_cli {

CopyWatch::CopyWatch(kivcli::Progress& progress, kivcopy::platform::NativeHandle target,
                     std::int64_t before, std::int64_t size) {
    constexpr std::int64_t worth_watching = std::int64_t{16} << 20;
    if (size < worth_watching || !progress.may_show()) {
        return;
    }
    thread_ = std::thread([this, &progress, target, before] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            const std::int64_t written = size_of(target);
            if (written >= 0) {
                progress.update(before + written);
            }
            woken_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; });
        }
    });
}

void CopyWatch::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    woken_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kivcopy_cli

#include "live_pacer.h"

#include <algorithm>
#include <thread>

#include "media_file_reader.h"

namespace ryvoobs {
namespace {

constexpr std::chrono::milliseconds kStopCheckInterval{50};

}  // namespace

bool LivePacer::wait_for(std::int64_t dts, const std::atomic<bool>& stop) {
    if (stop.load()) {
        return false;
    }
    if (!paced_) {
        return true;
    }
    if (!start_time_) {
        start_time_ = Clock::now();
        start_dts_ = dts;
        return true;
    }
    const auto offset = std::chrono::microseconds((dts - start_dts_) * 1'000'000 / kMediaClockRate);
    const Clock::time_point due = *start_time_ + offset;
    // A signal handler can only set a flag, so the wait looks at it in short steps.
    for (Clock::time_point now = Clock::now(); now < due; now = Clock::now()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kStopCheckInterval));
        if (stop.load()) {
            return false;
        }
    }
    return true;
}

}  // namespace ryvoobs

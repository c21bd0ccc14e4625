#include "progress_reporter.h"

#include <utility>

namespace ryvoobs {

ProgressReporter::ProgressReporter(ProgressDisplay& display, Sampler sampler,
                                   std::chrono::milliseconds period)
    : display_(display), sampler_(std::move(sampler)) {
    if (display_.style() == ProgressStyle::silent) {
        return;
    }
    thread_ = std::jthread([this, period](std::stop_token stop) {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, stop, period, [] { return false; });
            }
            if (stop.stop_requested()) {
                return;
            }
            display_.show(sampler_());
        }
    });
}

ProgressReporter::~ProgressReporter() {
    stop();
}

void ProgressReporter::stop() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    thread_.join();
    if (display_.style() == ProgressStyle::terminal) {
        display_.show(sampler_());
    }
    display_.finish();
}

}  // namespace ryvoobs

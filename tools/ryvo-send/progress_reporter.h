#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "progress_display.h"

namespace ryvoobs {

// Shows fresh figures on `display` every `period` from a thread of its own, so that progress
// keeps moving while the main thread waits (pacing, the final drain).
class ProgressReporter {
  public:
    using Sampler = std::function<ProgressFigures()>;

    ProgressReporter(ProgressDisplay& display, Sampler sampler, std::chrono::milliseconds period);
    ~ProgressReporter();

    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // Joins the thread and shows the figures once more on a terminal, whose line then stays as
    // the final state. Safe to call more than once.
    void stop();

  private:
    ProgressDisplay& display_;
    const Sampler sampler_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace ryvoobs

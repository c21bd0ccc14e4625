#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "runtime/upload_clock.h"

namespace ryvoobs {

// A clock that only moves when the test moves it, so back-offs of any length pass in no real
// time. Sleeps block until released (or stopped), or with `jump_sleeps` end at once by jumping to
// their deadline.
class ManualUploadClock final : public UploadClock {
  public:
    static constexpr auto kPatience = std::chrono::seconds(10);

    explicit ManualUploadClock(bool jump_sleeps = false) : jump_sleeps_(jump_sleeps) {}

    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    void sleep_until(TimePoint deadline, std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        if (jump_sleeps_) {
            now_ = std::max(now_, deadline);
            return;
        }
        sleep_deadline_ = deadline;
        changed_.notify_all();
        changed_.wait(lock, stop, [&] { return now_ >= deadline; });
        sleep_deadline_.reset();
    }

    // Waits for the next sleep to begin, moves the clock to its end and returns its length;
    // empty when no sleep began within kPatience.
    std::optional<std::chrono::milliseconds> release_next_sleep() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [&] { return sleep_deadline_ > now_; })) {
            return std::nullopt;
        }
        const auto length =
            std::chrono::duration_cast<std::chrono::milliseconds>(*sleep_deadline_ - now_);
        now_ = *sleep_deadline_;
        changed_.notify_all();
        return length;
    }

    // Waits until a sleep is waiting to be released; false when none began within kPatience.
    bool await_sleeper() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return sleep_deadline_ > now_; });
    }

  private:
    const bool jump_sleeps_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    TimePoint now_{};
    std::optional<TimePoint> sleep_deadline_;
};

}  // namespace ryvoobs

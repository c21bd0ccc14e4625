#pragma once

#include <algorithm>
#include <atomic>
#include <thread>

#include "runtime/upload_clock.h"

namespace ryvoobs {

// Back-off sleeps end at once by jumping to their deadline, so retries cost no real time; a
// deadline wait (the stop drain) ends only when its state arrives or the test calls advance().
class JumpingUploadClock final : public UploadClock {
  public:
    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void sleep_until(TimePoint deadline, std::stop_token) override {
        std::lock_guard lock(mutex_);
        now_ = std::max(now_, deadline);
    }
    bool wait_until(std::condition_variable_any& wake, std::unique_lock<std::mutex>& lock,
                    TimePoint deadline, const std::function<bool()>& ready) override {
        ++waiters_;
        // Polls, since advance() cannot notify the caller's condition variable.
        while (!ready() && now() < deadline) {
            wake.wait_for(lock, std::chrono::milliseconds(1));
        }
        --waiters_;
        return ready();
    }
    void advance(std::chrono::milliseconds step) {
        std::lock_guard lock(mutex_);
        now_ += step;
    }
    // True once some thread waits in wait_until(); false after five seconds of real time.
    bool wait_for_waiter() const {
        for (int polls = 0; waiters_ == 0; ++polls) {
            if (polls == 5000) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

  private:
    mutable std::mutex mutex_;
    TimePoint now_{};
    std::atomic<int> waiters_{0};
};

}  // namespace ryvoobs

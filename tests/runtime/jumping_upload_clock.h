#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/upload_clock.h"

namespace ryvoobs {

// Back-off sleeps end at once by moving the clock to their deadline, so retries cost no real
// time; deadline waits (the stop drain) end only when the waited-for state arrives or the test
// moves the clock past the deadline with advance().
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
        bool met = ready();
        // Polling, because advance() has no way to notify the caller's condition variable.
        while (!met && now() < deadline) {
            wake.wait_for(lock, std::chrono::milliseconds(1));
            met = ready();
        }
        --waiters_;
        return met;
    }

    void advance(std::chrono::milliseconds step) {
        std::lock_guard lock(mutex_);
        now_ += step;
    }

    // Returns once some thread is inside wait_until(), or false after `limit` of real time.
    bool wait_for_waiter(std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        const auto give_up = std::chrono::steady_clock::now() + limit;
        while (waiters_ == 0) {
            if (std::chrono::steady_clock::now() > give_up) {
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

#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/upload_clock.h"

namespace ryvoobs {

// A clock that only moves when the test moves it, so back-off and drain deadlines of any length
// pass in no real time. Sleeps block until released (or stopped), or with `jump_sleeps` end at
// once by jumping to their deadline; deadline waits always block until advanced. The test thread
// that advances the clock must also be the one that destroys the manager waiting on it.
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

    bool wait_until(std::condition_variable_any& wake, std::unique_lock<std::mutex>& lock,
                    TimePoint deadline, const std::function<bool()>& ready) override {
        add_waiter(Waiter{&wake, lock.mutex()});
        wake.wait(lock, [&] { return ready() || now() >= deadline; });
        remove_waiter(&wake);
        return ready();
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

    // Waits until something waits for a deadline, then moves the clock by `step`.
    bool advance_waiters(std::chrono::milliseconds step) {
        std::vector<Waiter> waiters;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, kPatience, [&] { return !waiters_.empty(); })) {
                return false;
            }
            now_ += step;
            waiters = waiters_;
        }
        for (const Waiter& waiter : waiters) {
            // Taking the waiter's mutex orders this wake-up after its last look at the clock.
            { std::lock_guard lock(*waiter.mutex); }
            waiter.wake->notify_all();
        }
        return true;
    }

    // Waits until a sleep is waiting to be released; false when none began within kPatience.
    bool await_sleeper() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return sleep_deadline_ > now_; });
    }

  private:
    struct Waiter {
        std::condition_variable_any* wake;
        std::mutex* mutex;
    };

    void add_waiter(Waiter waiter) {
        std::lock_guard lock(mutex_);
        waiters_.push_back(waiter);
        changed_.notify_all();
    }

    void remove_waiter(std::condition_variable_any* wake) {
        std::lock_guard lock(mutex_);
        std::erase_if(waiters_, [&](const Waiter& waiter) { return waiter.wake == wake; });
    }

    const bool jump_sleeps_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    TimePoint now_{};
    std::optional<TimePoint> sleep_deadline_;
    std::vector<Waiter> waiters_;
};

}  // namespace ryvoobs

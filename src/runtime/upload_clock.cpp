#include "runtime/upload_clock.h"

#include <condition_variable>
#include <mutex>

namespace ryvoobs {
namespace {

class SteadyUploadClock final : public UploadClock {
  public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    void sleep_until(TimePoint deadline, std::stop_token stop) override {
        // A private condition variable: nothing but the deadline or the stop request may end
        // the sleep.
        std::mutex mutex;
        std::condition_variable_any never_notified;
        std::unique_lock lock(mutex);
        never_notified.wait_until(lock, stop, deadline, [] { return false; });
    }
};

}  // namespace

std::shared_ptr<UploadClock> steady_upload_clock() {
    static const std::shared_ptr<UploadClock> clock = std::make_shared<SteadyUploadClock>();
    return clock;
}

}  // namespace ryvoobs

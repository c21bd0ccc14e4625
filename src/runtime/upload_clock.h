#pragma once

#include <chrono>
#include <memory>
#include <stop_token>

namespace ryvoobs {

// The time source of the upload worker: every back-off and Retry-After is read and waited for
// through it, so that those waits can be driven by hand instead of by the wall.
class UploadClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~UploadClock() = default;

    virtual TimePoint now() const = 0;

    // Returns once the clock has reached `deadline` or a stop has been requested on `stop`.
    virtual void sleep_until(TimePoint deadline, std::stop_token stop) = 0;
};

// The steady clock of the process; shared, stateless.
std::shared_ptr<UploadClock> steady_upload_clock();

}  // namespace ryvoobs

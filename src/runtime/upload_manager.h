#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "config/plugin_config.h"
#include "runtime/segment_data.h"
#include "runtime/status_tracker.h"
#include "runtime/upload_clock.h"
#include "runtime/upload_result.h"

namespace ryvoobs {

// What the user reads when the service refuses the key or does not know the stream; the status
// shows them, and whatever else reports a halted delivery uses the same words.
inline constexpr const char* kKeyRejectedMessage =
    "API key rejected. Rotate your key in the Ryvo dashboard.";
inline constexpr const char* kStreamNotFoundMessage = "Ryvo stream not found. Check the stream ID.";

// One entry of the upload queue.
struct UploadJob {
    SegmentData segment;
    std::int32_t attempts = 0;  // failed transport calls so far
};

// Owns one session's upload queue and the single worker that empties it: retries transient
// failures with back-off, halts the session's uploads on a permanent one, and reports every
// finished upload through the callbacks and the status tracker.
//
// start(), stop() and destruction belong to the owning thread; enqueue() and
// queue_depth() may be called from any thread. The manager's mutex is a leaf: the transport, the
// callbacks and the status tracker are only ever called without it.
class UploadManager {
  public:
    using UploadedCallback = std::function<void(std::int64_t sequence)>;
    using CompleteCallback = std::function<void(std::int64_t sequence, bool uploaded)>;

    // `status` may be null; `clock` null means the steady clock.
    UploadManager(PluginConfig config, UploadTransport transport, StatusTracker* status,
                  UploadedCallback on_uploaded, CompleteCallback on_upload_complete,
                  std::shared_ptr<UploadClock> clock = nullptr);
    ~UploadManager();

    UploadManager(const UploadManager&) = delete;
    UploadManager& operator=(const UploadManager&) = delete;

    void start();
    void enqueue(SegmentData segment);
    std::uint64_t queue_depth() const;
    // Ends the worker after the job at hand; queued jobs stay queued for a later start(). Waits
    // for that job's transport call, so a caller that must not wait cancels the client first.
    void stop();
    // No job queued and none being processed.
    bool idle() const;
    // The user text of the permanent failure that halted uploads; "" while not halted.
    std::string halt_reason() const;

  private:
    void run_worker(std::stop_token stop);
    std::optional<UploadJob> take_next_job(std::stop_token stop);
    void process_job(UploadJob job, std::stop_token stop);
    UploadResult call_transport(const SegmentData& segment);
    void finish_uploaded(std::int64_t sequence);
    void report_failure(const UploadResult& result, const std::string& error_code);
    void halt_after(std::int64_t sequence, std::string reason);
    void give_up(std::int64_t sequence);
    void retry_later(UploadJob job);
    void report_completion(std::int64_t sequence, bool uploaded);
    void finish_job();
    void set_status_queue_depth(std::uint64_t depth);

    const PluginConfig config_;
    const UploadTransport transport_;
    StatusTracker* const status_;
    const UploadedCallback on_uploaded_;
    const CompleteCallback on_upload_complete_;
    const std::shared_ptr<UploadClock> clock_;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    bool halted_ = false;
    std::string halt_reason_;
    bool busy_ = false;
    std::deque<UploadJob> queue_;
    std::optional<std::jthread> worker_;
};

}  // namespace ryvoobs

#include "runtime/upload_manager.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "api/ingest_requests.h"

namespace ryvoobs {
namespace {

constexpr std::int32_t kMaxAttempts = 5;
constexpr std::int64_t kFirstBackoffMs = 500;
constexpr std::int64_t kMaxRetryAfterMs = 300'000;

constexpr const char* kRateLimitedMessage = "Ryvo ingest is rate limited. Retrying automatically.";

bool is_not_found(const UploadResult& result, const std::string& error_code) {
    return result.http_status == 404 || error_code == "not_found";
}

bool is_unauthorized(const UploadResult& result, const std::string& error_code) {
    return result.http_status == 401 || error_code == "unauthorized";
}

std::string failure_message(const UploadResult& result, const std::string& error_code) {
    if (is_not_found(result, error_code)) {
        return kStreamNotFoundMessage;
    }
    if (is_unauthorized(result, error_code)) {
        return kKeyRejectedMessage;
    }
    if (result.http_status == 429) {
        return kRateLimitedMessage;
    }
    if (!result.error.empty()) {
        return result.error;
    }
    return "upload failed";
}

// Runs a caller-supplied function so that whatever it throws is turned into a message instead of
// leaving the upload worker with a half-finished job. Empty optional: it returned normally.
template <typename Function>
std::optional<std::string> run_guarded(Function&& function) {
    try {
        std::forward<Function>(function)();
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    } catch (...) {
        return std::string("unknown exception");
    }
}

// The delay before retry `attempts` (1-based): doubling back-off from 500 ms, lengthened, never
// shortened, by the server's Retry-After up to five minutes.
std::int64_t upload_retry_delay_ms(std::int32_t attempts, std::int64_t retry_after_ms) {
    const std::int32_t doublings = std::clamp(attempts - 1, 0, kMaxAttempts - 2);
    const std::int64_t backoff = kFirstBackoffMs << doublings;
    if (retry_after_ms > backoff) {
        return std::min(retry_after_ms, kMaxRetryAfterMs);
    }
    return backoff;
}

// Failures after which no upload of the session can succeed: a rejected key or an unknown stream.
bool is_permanent_upload_failure(std::int32_t http_status, const std::string& error_code) {
    return http_status == 401 || http_status == 403 || http_status == 404 ||
           error_code == "not_found" || error_code == "unauthorized";
}

}  // namespace

UploadManager::UploadManager(PluginConfig config, UploadTransport transport, StatusTracker* status,
                             UploadedCallback on_uploaded, CompleteCallback on_upload_complete,
                             std::shared_ptr<UploadClock> clock)
    : config_(std::move(config)),
      transport_(std::move(transport)),
      status_(status),
      on_uploaded_(std::move(on_uploaded)),
      on_upload_complete_(std::move(on_upload_complete)),
      clock_(clock ? std::move(clock) : steady_upload_clock()) {}

UploadManager::~UploadManager() {
    stop();
}

void UploadManager::start() {
    if (worker_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        halted_ = false;
        halt_reason_.clear();
    }
    try {
        worker_.emplace([this](std::stop_token stop) { run_worker(std::move(stop)); });
    } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "thread constructor failed");
    }
}

void UploadManager::enqueue(SegmentData segment) {
    std::uint64_t depth = 0;
    {
        std::lock_guard lock(mutex_);
        if (halted_) {
            return;
        }
        queue_.push_back(UploadJob{std::move(segment), 0});
        depth = queue_.size();
    }
    set_status_queue_depth(depth);
    wake_.notify_all();
}

std::uint64_t UploadManager::queue_depth() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void UploadManager::stop() {
    if (!worker_) {
        return;
    }
    worker_->request_stop();
    wake_.notify_all();
    worker_->join();
    worker_.reset();
    if (status_ != nullptr) {
        status_->set_queue_depth(0);
        status_->set_connected(false);
    }
}

bool UploadManager::idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !busy_;
}

std::string UploadManager::halt_reason() const {
    std::lock_guard lock(mutex_);
    return halt_reason_;
}

void UploadManager::run_worker(std::stop_token stop) {
    while (std::optional<UploadJob> job = take_next_job(stop)) {
        process_job(std::move(*job), stop);
    }
}

std::optional<UploadJob> UploadManager::take_next_job(std::stop_token stop) {
    std::optional<UploadJob> job;
    std::uint64_t depth = 0;
    {
        std::unique_lock lock(mutex_);
        // A stop leaves the queue as it is: nothing at stop may wait on the network job by job.
        wake_.wait(lock, stop, [this] { return !queue_.empty(); });
        if (queue_.empty() || stop.stop_requested()) {
            busy_ = false;
        } else {
            job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            depth = queue_.size();
        }
    }
    if (!job) {
        wake_.notify_all();
        return std::nullopt;
    }
    set_status_queue_depth(depth);
    return job;
}

void UploadManager::process_job(UploadJob job, std::stop_token stop) {
    const std::int64_t sequence = job.segment.sequence;
    const UploadResult result = call_transport(job.segment);
    if (result.ok) {
        finish_uploaded(sequence);
        return;
    }
    const std::string error_code = parse_error_code(result.error);
    report_failure(result, error_code);
    if (is_permanent_upload_failure(result.http_status, error_code)) {
        halt_after(sequence,
                   is_not_found(result, error_code) ? kStreamNotFoundMessage : kKeyRejectedMessage);
        return;
    }
    ++job.attempts;
    if (job.attempts >= kMaxAttempts || stop.stop_requested()) {
        give_up(sequence);
        return;
    }
    const std::int64_t delay_ms = upload_retry_delay_ms(job.attempts, result.retry_after_ms);
    clock_->sleep_until(clock_->now() + std::chrono::milliseconds(delay_ms), stop);
    if (stop.stop_requested()) {
        give_up(sequence);
        return;
    }
    retry_later(std::move(job));
}

UploadResult UploadManager::call_transport(const SegmentData& segment) {
    if (!transport_) {
        return UploadResult{false, 0, "transport not configured", 0};
    }
    UploadResult result;
    // A transport that throws has failed this attempt; its message is the error text.
    if (std::optional<std::string> error =
            run_guarded([&] { result = transport_(config_, segment); })) {
        return UploadResult{false, 0, std::move(*error), 0};
    }
    return result;
}

void UploadManager::finish_uploaded(std::int64_t sequence) {
    std::optional<std::string> callback_error = run_guarded([&] {
        if (on_uploaded_) {
            on_uploaded_(sequence);
        }
    });
    if (std::optional<std::string> error = run_guarded([&] {
            if (on_upload_complete_) {
                on_upload_complete_(sequence, true);
            }
        })) {
        callback_error = std::move(error);
    }
    if (status_ != nullptr) {
        status_->note_upload(queue_depth());
        status_->clear_error();
        status_->set_auth_failed(false);
        if (callback_error) {
            status_->set_error("upload callback failed: " + *callback_error);
        }
    }
    finish_job();
}

void UploadManager::report_failure(const UploadResult& result, const std::string& error_code) {
    if (status_ == nullptr) {
        return;
    }
    status_->set_connected(false);
    status_->set_error(failure_message(result, error_code));
    if (is_unauthorized(result, error_code)) {
        status_->set_auth_failed(true);
    }
}

void UploadManager::halt_after(std::int64_t sequence, std::string reason) {
    {
        std::lock_guard lock(mutex_);
        halted_ = true;
        halt_reason_ = std::move(reason);
        // Discarded jobs get no callback: their segments stay marked in flight in the cache,
        // which no longer matters once nothing of the session can be uploaded.
        queue_.clear();
    }
    set_status_queue_depth(0);
    report_completion(sequence, false);
    finish_job();
}

void UploadManager::give_up(std::int64_t sequence) {
    report_completion(sequence, false);
    finish_job();
}

void UploadManager::retry_later(UploadJob job) {
    std::uint64_t depth = 0;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
        busy_ = false;
        depth = queue_.size();
    }
    wake_.notify_all();
    set_status_queue_depth(depth);
}

void UploadManager::report_completion(std::int64_t sequence, bool uploaded) {
    std::optional<std::string> error = run_guarded([&] {
        if (on_upload_complete_) {
            on_upload_complete_(sequence, uploaded);
        }
    });
    if (error && status_ != nullptr) {
        status_->set_error("upload callback failed: " + *error);
    }
}

void UploadManager::finish_job() {
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    wake_.notify_all();
}

void UploadManager::set_status_queue_depth(std::uint64_t depth) {
    if (status_ != nullptr) {
        status_->set_queue_depth(depth);
    }
}

}  // namespace ryvoobs

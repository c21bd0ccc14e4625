#include "delivery_tally.h"

#include <optional>
#include <utility>

#include "api/ingest_requests.h"
#include "runtime/upload_manager.h"

namespace ryvoobs {
namespace {

// The answers after which the upload worker halts the session's uploads, in the words it puts in
// the session's status. The session is gone by the time a refusal met during the final drain is
// looked at, so its status cannot be asked.
std::optional<std::string> refusal_message(const UploadResult& result, const std::string& failure) {
    const std::string code = parse_error_code(result.error);
    if (result.http_status == 404 || code == "not_found") {
        return std::string(kStreamNotFoundMessage);
    }
    if (result.http_status == 401 || code == "unauthorized") {
        return std::string(kKeyRejectedMessage);
    }
    if (result.http_status == 403) {
        return failure;
    }
    return std::nullopt;
}

}  // namespace

void DeliveryTally::note_upload(std::int64_t sequence, std::uint64_t bytes,
                                const UploadResult& result) {
    std::lock_guard lock(mutex_);
    sent_.insert(sequence);
    if (result.ok) {
        if (uploaded_.insert(sequence).second) {
            bytes_uploaded_ += bytes;
        }
        last_failure_.clear();
        return;
    }
    last_failure_ = result.http_status == 0 ? result.error
                                            : "HTTP " + std::to_string(result.http_status) +
                                                  (result.error.empty() ? "" : ": " + result.error);
    if (!refused_) {
        if (std::optional<std::string> message = refusal_message(result, last_failure_)) {
            refused_ = true;
            refusal_ = std::move(*message);
        }
    }
}

DeliveryCounts DeliveryTally::counts() const {
    std::lock_guard lock(mutex_);
    return DeliveryCounts{sent_.size(), uploaded_.size(), bytes_uploaded_,
                          refused_,     refusal_,         last_failure_};
}

TallyingApiClient::TallyingApiClient(std::shared_ptr<RyvoApiClient> inner,
                                     std::shared_ptr<DeliveryTally> tally)
    : inner_(std::move(inner)), tally_(std::move(tally)) {}

UploadResult TallyingApiClient::upload_segment(const SegmentData& segment) const {
    UploadResult result = inner_->upload_segment(segment);
    tally_->note_upload(segment.sequence, segment.size(), result);
    return result;
}

ApiStatus TallyingApiClient::post_heartbeat(const HeartbeatPayload& payload,
                                            std::string* error) const {
    return inner_->post_heartbeat(payload, error);
}

std::optional<BackfillResponse> TallyingApiClient::fetch_backfill(std::string* error,
                                                                  ApiStatus* status) const {
    return inner_->fetch_backfill(error, status);
}

ApiStatus TallyingApiClient::post_end(std::string* error) const {
    return inner_->post_end(error);
}

void TallyingApiClient::cancel() {
    inner_->cancel();
}

}  // namespace ryvoobs

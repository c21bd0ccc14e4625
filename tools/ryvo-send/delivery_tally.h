#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "api/ryvo_api_client.h"

namespace ryvoobs {

struct DeliveryCounts {
    // Distinct segments handed to the transport, and of those the ones the server took.
    std::uint64_t segments_sent = 0;
    std::uint64_t segments_uploaded = 0;
    std::uint64_t bytes_uploaded = 0;
    // The server refused an upload for good (rejected key, unknown stream): nothing more of the
    // broadcast can be delivered. `refusal` says why, for the user.
    bool refused = false;
    std::string refusal;
    // What the latest failed upload came back with; "" once an upload succeeds again.
    std::string last_failure;
};

// Counts what the server confirmed, per distinct sequence, so that retries and backfill
// re-uploads are not counted twice. Thread-safe.
class DeliveryTally {
  public:
    void note_upload(std::int64_t sequence, std::uint64_t bytes, const UploadResult& result);
    DeliveryCounts counts() const;

  private:
    mutable std::mutex mutex_;
    std::set<std::int64_t> sent_;
    std::set<std::int64_t> uploaded_;
    std::uint64_t bytes_uploaded_ = 0;
    bool refused_ = false;
    std::string refusal_;
    std::string last_failure_;
};

// Passes every request on to `inner` and tells `tally` how each upload went.
class TallyingApiClient final : public RyvoApiClient {
  public:
    TallyingApiClient(std::shared_ptr<RyvoApiClient> inner, std::shared_ptr<DeliveryTally> tally);

    UploadResult upload_segment(const SegmentData& segment) const override;
    ApiStatus post_heartbeat(const HeartbeatPayload& payload, std::string* error) const override;
    std::optional<BackfillResponse> fetch_backfill(std::string* error,
                                                   ApiStatus* status) const override;
    ApiStatus post_end(std::string* error) const override;
    void cancel() override;

  private:
    const std::shared_ptr<RyvoApiClient> inner_;
    const std::shared_ptr<DeliveryTally> tally_;
};

}  // namespace ryvoobs

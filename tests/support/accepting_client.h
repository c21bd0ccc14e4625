// A service that accepts every request at once, for tests and benchmarks of the plug-in's own side
// of a delivery; it counts the uploads.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "api/ryvo_api_client.h"

namespace ryvoobs::testing {

class AcceptingClient final : public RyvoApiClient {
  public:
    UploadResult upload_segment(const SegmentData&) const override {
        uploads.fetch_add(1, std::memory_order_relaxed);
        return {true, 201, "", 0};
    }
    ApiStatus post_heartbeat(const HeartbeatPayload&, std::string*) const override {
        return ApiStatus::ok;
    }
    std::optional<BackfillResponse> fetch_backfill(std::string*, ApiStatus* status) const override {
        if (status != nullptr) {
            *status = ApiStatus::ok;
        }
        return BackfillResponse{};
    }
    ApiStatus post_end(std::string*) const override { return ApiStatus::ok; }
    void cancel() override {}

    mutable std::atomic<std::int64_t> uploads{0};
};

}  // namespace ryvoobs::testing

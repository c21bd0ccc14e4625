#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "api/ingest_requests.h"
#include "runtime/segment_data.h"
#include "runtime/upload_result.h"

namespace ryvoobs {

enum class ApiStatus : std::int32_t {
    ok = 0,
    failed = 1,        // anything but a rejected key: network, time-out, server error
    unauthorized = 2,  // 401, or an error body whose "error" is "unauthorized"
};

// The four ingest requests of one stream, each one blocking exchange. Implementations hold no
// mutable state of their own beyond the cancel flag, so every operation may run on any thread at
// the same time as the others. Failures never raise: everything is in the result. Nothing here
// logs.
class RyvoApiClient {
  public:
    virtual ~RyvoApiClient() = default;

    // ok only for 201; the client never retries, the upload manager decides.
    virtual UploadResult upload_segment(const SegmentData& segment) const = 0;
    // `error` may be null; cleared on success.
    virtual ApiStatus post_heartbeat(const HeartbeatPayload& payload, std::string* error) const = 0;
    // Nothing on failure. A 404 "not_found" means the server wants nothing: an empty request.
    // `error` and `status` may be null; `error` is left alone on a 2xx answer.
    virtual std::optional<BackfillResponse> fetch_backfill(std::string* error,
                                                           ApiStatus* status) const = 0;
    // `error` may be null; left alone on success.
    virtual ApiStatus post_end(std::string* error) const = 0;
    // Makes every exchange in flight end within about 100 ms as a transport failure, and every
    // later one fail at once; for a delivery that has been given up. Returns at once.
    virtual void cancel() = 0;
};

// An upload transport that sends through `client` with the configuration the client was built
// with (the configuration argument is not used) and keeps the client alive. An empty client
// gives an empty transport, which the upload manager reports as not configured.
UploadTransport make_api_upload_transport(std::shared_ptr<RyvoApiClient> client);

}  // namespace ryvoobs

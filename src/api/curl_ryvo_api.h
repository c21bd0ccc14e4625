#pragma once

#include <memory>

#include "api/ryvo_api_client.h"
#include "config/plugin_config.h"
#include "platform/http_session.h"

namespace ryvoobs {

// The ingest client over libcurl: one HTTP session per client, shared by every request it sends,
// with at most four connections to the ingest host. Each exchange is bounded to 15 s without
// data and 30 s in all unless `options` say otherwise (tests shorten them).
class CurlRyvoApi final : public RyvoApiClient {
  public:
    explicit CurlRyvoApi(PluginConfig config, HttpSessionOptions options = {});
    ~CurlRyvoApi() override;

    CurlRyvoApi(const CurlRyvoApi&) = delete;
    CurlRyvoApi& operator=(const CurlRyvoApi&) = delete;

    UploadResult upload_segment(const SegmentData& segment) const override;
    ApiStatus post_heartbeat(const HeartbeatPayload& payload, std::string* error) const override;
    std::optional<BackfillResponse> fetch_backfill(std::string* error,
                                                   ApiStatus* status) const override;
    ApiStatus post_end(std::string* error) const override;
    void cancel() override;

  private:
    const PluginConfig config_;
    std::unique_ptr<HttpSession> session_;
};

}  // namespace ryvoobs

#include "api/curl_ryvo_api.h"

#include <utility>

#include "api/http_response.h"

namespace ryvoobs {
namespace {

bool is_unauthorized(const HttpResponse& response) {
    return response.status_code == 401 || parse_error_code(response.body) == "unauthorized";
}

void set_if(std::string* target, const std::string& text) {
    if (target != nullptr) {
        *target = text;
    }
}

void set_if(ApiStatus* target, ApiStatus status) {
    if (target != nullptr) {
        *target = status;
    }
}

HttpSessionOptions with_user_agent(HttpSessionOptions options) {
    if (options.user_agent.empty()) {
        options.user_agent = std::string("ryvo-obs/") + kPluginVersion;
    }
    return options;
}

}  // namespace

CurlRyvoApi::CurlRyvoApi(PluginConfig config, HttpSessionOptions options)
    : config_(std::move(config)),
      session_(std::make_unique<HttpSession>(with_user_agent(std::move(options)))) {}

CurlRyvoApi::~CurlRyvoApi() = default;

UploadResult CurlRyvoApi::upload_segment(const SegmentData& segment) const {
    // The request body is the segment's shared buffer itself.
    std::span<const std::uint8_t> bytes;
    if (segment.bytes) {
        bytes = *segment.bytes;
    }
    const HttpResponse response = send_request(*session_, HttpMethod::post,
                                               build_segment_upload_url(config_, segment.sequence),
                                               build_segment_headers(config_, segment), bytes);
    UploadResult result;
    result.ok = response.status_code == 201;
    result.http_status = static_cast<std::int32_t>(response.status_code);
    if (!response.ok) {
        result.error = failure_text(response);
    }
    result.retry_after_ms = response.retry_after_ms;
    return result;
}

ApiStatus CurlRyvoApi::post_heartbeat(const HeartbeatPayload& payload, std::string* error) const {
    const std::string json = build_heartbeat_json(payload);
    const std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(json.data()),
                                             json.size());
    const HttpResponse response =
        send_request(*session_, HttpMethod::post, build_heartbeat_url(config_),
                     build_heartbeat_headers(config_), body);
    if (response.ok) {
        set_if(error, std::string());
        return ApiStatus::ok;
    }
    set_if(error, failure_text(response));
    return is_unauthorized(response) ? ApiStatus::unauthorized : ApiStatus::failed;
}

std::optional<BackfillResponse> CurlRyvoApi::fetch_backfill(std::string* error,
                                                            ApiStatus* status) const {
    const HttpResponse response = send_request(
        *session_, HttpMethod::get, build_backfill_url(config_), build_end_headers(config_));
    if (response.status_code == 404 && parse_error_code(response.body) == "not_found") {
        set_if(error, std::string());
        set_if(status, ApiStatus::ok);
        return BackfillResponse{};
    }
    if (response.ok) {
        set_if(status, ApiStatus::ok);
        return parse_backfill_response(response.body);
    }
    set_if(error, failure_text(response));
    set_if(status, is_unauthorized(response) ? ApiStatus::unauthorized : ApiStatus::failed);
    return std::nullopt;
}

ApiStatus CurlRyvoApi::post_end(std::string* error) const {
    const HttpResponse response = send_request(*session_, HttpMethod::post, build_end_url(config_),
                                               build_end_headers(config_));
    if (response.ok) {
        return ApiStatus::ok;
    }
    set_if(error, failure_text(response));
    return is_unauthorized(response) ? ApiStatus::unauthorized : ApiStatus::failed;
}

void CurlRyvoApi::cancel() {
    session_->cancel();
}

}  // namespace ryvoobs

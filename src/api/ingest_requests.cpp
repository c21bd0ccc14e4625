#include "api/ingest_requests.h"

#include <charconv>
#include <cmath>

namespace ryvoobs {
namespace {

std::string stream_url(const PluginConfig& config, std::string_view tail) {
    std::string url = config.api_endpoint;
    url += "/api/v1/streams/";
    url += config.stream_id;
    url += tail;
    return url;
}

std::string bearer(const PluginConfig& config) {
    return "Bearer " + config.api_key;
}

// Two digits after a full stop whatever the process locale says (OBS's UI may set one with a
// decimal comma). A value that is not finite would make the body invalid JSON, so it reads 0.
std::string fixed_two_decimals(double value) {
    if (!std::isfinite(value)) {
        value = 0.0;
    }
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    return std::string(buffer, result.ptr);
}

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

}  // namespace

std::string build_segment_upload_url(const PluginConfig& config, std::int64_t sequence) {
    return stream_url(config, "/segments/" + std::to_string(sequence));
}

std::string build_heartbeat_url(const PluginConfig& config) {
    return stream_url(config, "/heartbeat");
}

std::string build_backfill_url(const PluginConfig& config) {
    return stream_url(config, "/backfill-requests");
}

std::string build_end_url(const PluginConfig& config) {
    return stream_url(config, "/end");
}

HeaderSet build_segment_headers(const PluginConfig& config, const SegmentData& segment) {
    HeaderSet headers{
        {"Content-Type", "application/octet-stream"},
        {"Authorization", bearer(config)},
        {"X-Segment-SHA256", segment.sha256},
        {"X-Segment-Duration-Ms", std::to_string(segment.duration_ms)},
        {"X-Agent-ID", config.agent_id},
        {"X-Agent-Version", kPluginVersion},
    };
    if (!segment.capture_session_id.empty()) {
        headers.emplace("X-Capture-Session-ID", segment.capture_session_id);
    }
    return headers;
}

HeaderSet build_heartbeat_headers(const PluginConfig& config) {
    return {{"Content-Type", "application/json"},
            {"Authorization", bearer(config)},
            {"X-Agent-ID", config.agent_id}};
}

HeaderSet build_end_headers(const PluginConfig& config) {
    return {{"Authorization", bearer(config)}, {"X-Agent-ID", config.agent_id}};
}

std::string build_heartbeat_json(const HeartbeatPayload& payload) {
    std::string json = "{\"current_sequence\":";
    json += std::to_string(payload.current_sequence);
    json += ",\"cache_depth_minutes\":";
    json += fixed_two_decimals(payload.cache_depth_minutes);
    json += ",\"upload_queue_depth\":";
    json += std::to_string(payload.upload_queue_depth);
    json += ",\"agent_version\":\"";
    append_escaped(json, payload.agent_version);
    json += "\"}";
    return json;
}

std::string extract_string_field(std::string_view json, std::string_view key) {
    std::string needle;
    needle.reserve(key.size() + 2);
    needle += '"';
    needle += key;
    needle += '"';
    const auto key_at = json.find(needle);
    if (key_at == std::string_view::npos) {
        return {};
    }
    const auto colon = json.find(':', key_at + needle.size());
    if (colon == std::string_view::npos) {
        return {};
    }
    const auto open = json.find('"', colon + 1);
    if (open == std::string_view::npos) {
        return {};
    }
    const auto close = json.find('"', open + 1);
    if (close == std::string_view::npos) {
        return {};
    }
    return std::string(json.substr(open + 1, close - open - 1));
}

std::string parse_error_code(const std::string& body) {
    return extract_string_field(body, "error");
}

BackfillResponse parse_backfill_response(const std::string& body) {
    BackfillResponse response;
    std::string priority = extract_string_field(body, "priority");
    if (!priority.empty()) {
        response.priority = std::move(priority);
    }
    const std::string_view text = body;
    constexpr std::string_view kKey = "\"missing_sequences\"";
    const auto key_at = text.find(kKey);
    if (key_at == std::string_view::npos) {
        return response;
    }
    const auto open = text.find('[', key_at + kKey.size());
    if (open == std::string_view::npos) {
        return response;
    }
    const auto close = text.find(']', open + 1);
    if (close == std::string_view::npos) {
        return response;
    }
    // Out-of-range numbers wrap rather than fail: the scan never rejects a body.
    std::uint64_t number = 0;
    bool has_digits = false;
    for (const char c : text.substr(open + 1, close - open - 1)) {
        if (c >= '0' && c <= '9') {
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
            has_digits = true;
        } else if (has_digits) {
            response.missing_sequences.push_back(static_cast<std::int64_t>(number));
            number = 0;
            has_digits = false;
        }
    }
    if (has_digits) {
        response.missing_sequences.push_back(static_cast<std::int64_t>(number));
    }
    return response;
}

}  // namespace ryvoobs

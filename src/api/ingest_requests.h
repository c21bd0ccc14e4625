#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/plugin_config.h"
#include "runtime/segment_data.h"

// The wire format of the four ingest requests (segment upload, heartbeat, backfill poll, end of
// broadcast): what the plug-in sends and how it reads the answers. Nothing here touches the
// network.
namespace ryvoobs {

// The project version set in CMake: the X-Agent-Version header, the heartbeat's agent_version, the
// User-Agent and the support bundle all name it.
inline constexpr char kPluginVersion[] = RYVO_PLUGIN_VERSION;

// Request headers, sent in ascending byte order of their names.
using HeaderSet = std::map<std::string, std::string>;

struct HeartbeatPayload {
    std::int64_t current_sequence = 0;
    double cache_depth_minutes = 0.0;
    std::uint64_t upload_queue_depth = 0;
    std::string agent_version = kPluginVersion;
};

struct BackfillResponse {
    std::vector<std::int64_t> missing_sequences;
    std::string priority = "normal";
};

// The endpoint and stream ID go into the URLs exactly as stored, without any encoding.
std::string build_segment_upload_url(const PluginConfig& config, std::int64_t sequence);
std::string build_heartbeat_url(const PluginConfig& config);
std::string build_backfill_url(const PluginConfig& config);
std::string build_end_url(const PluginConfig& config);

HeaderSet build_segment_headers(const PluginConfig& config, const SegmentData& segment);
HeaderSet build_heartbeat_headers(const PluginConfig& config);
// Serves both the end request and the backfill poll.
HeaderSet build_end_headers(const PluginConfig& config);

std::string build_heartbeat_json(const HeartbeatPayload& payload);

// A plain text scan, not a JSON parser: the first quoted `key`, then the first colon after it,
// then the text between the next two double quotes, escapes left undecoded. "" when any of
// these is missing. Tolerates any input, including text that is not JSON at all.
std::string extract_string_field(std::string_view json, std::string_view key);

// The server's error code: the "error" member of an error body, or "".
std::string parse_error_code(const std::string& body);

// Reads the digits of the first "missing_sequences" array; anything else between the brackets
// (signs, decimal points, quotes) only separates numbers.
BackfillResponse parse_backfill_response(const std::string& body);

}  // namespace ryvoobs

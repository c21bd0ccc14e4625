#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ryvoobs {

// The built-in ingest endpoint, fixed at build time (scheme and host, no trailing slash).
inline constexpr const char* kDefaultApiEndpoint = RYVO_DEFAULT_API_ENDPOINT;

// The endpoint used wherever the default applies (a new configuration, a portal-linked one).
// The environment variable RYVO_DEFAULT_API_ENDPOINT, when set and not empty, replaces the
// built-in kDefaultApiEndpoint at run time, so that one build can be pointed at a staging or a
// local ingest server without rebuilding.
std::string default_api_endpoint();

// Every request carries the API key in a header, so plain http:// would hand it to anyone on the
// path; it is allowed for a development server on this machine only. True for an http:// URL
// (scheme in any letter case) whose host is not `localhost`, an address in 127.0.0.0/8 or [::1];
// an authority with anything beyond host and port counts as not local. Any other URL is left to
// the HTTP layer to accept or refuse.
bool sends_key_in_clear_text(std::string_view url);

inline constexpr const char* kClearTextEndpointMessage =
    "api_endpoint must use https://; plain http:// would send the API key in clear text and is "
    "allowed only to this machine (localhost, 127.0.0.0/8, ::1)";

enum class AuthMode : std::int32_t { manual = 0, portal = 1 };
enum class RuntimeMode : std::int32_t { tap_only = 0, runtime_only = 1, full = 2 };
enum class CaptureMode : std::int32_t { streaming = 0, recording = 1, either = 2 };

// Every setting of the plug-in. Plain record: nothing is enforced on assignment; validate() says
// what is wrong.
struct PluginConfig {
    bool enabled = true;
    AuthMode auth_mode = AuthMode::portal;
    std::string stream_id;
    std::string selected_stream_name;
    std::string linked_account_email;
    std::string linked_account_name;
    std::string portal_link_session_id;
    std::string portal_link_verification_code;
    std::string portal_link_verification_url;
    std::string portal_link_poll_token;
    std::string portal_link_expires_at;
    std::string api_key;
    std::string api_key_id;
    std::string api_endpoint = default_api_endpoint();
    std::string agent_id = "primary";
    std::string previous_service_id;
    std::string previous_service_profile;
    std::string previous_service_settings_json;
    std::string previous_service_hotkeys_json;
    RuntimeMode runtime_mode = RuntimeMode::tap_only;
    CaptureMode capture_mode = CaptureMode::streaming;
    std::int32_t segment_duration_ms = 2000;
    std::int32_t ram_buffer_minutes = 10;
    std::int32_t estimated_bitrate_kbps = 8000;

    // Every rule the record breaks, as a message, in rule order; empty when valid.
    std::vector<std::string> validate() const;

    bool operator==(const PluginConfig&) const = default;
};

// Text forms: value 2 gives the third word, 1 the second, anything else the first.
const char* to_string(AuthMode mode);
const char* to_string(RuntimeMode mode);
const char* to_string(CaptureMode mode);

bool parse_capture_mode(const std::string& text, CaptureMode* out);

// Strips whitespace and the quotes, brackets and punctuation a pasted stream ID tends to carry.
std::string normalize_stream_id(std::string text);

}  // namespace ryvoobs

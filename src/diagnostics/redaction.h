#pragma once

#include <array>
#include <string>
#include <string_view>

// Text transforms that strip secrets, the home path and the host name from what goes into a
// support bundle. All matching is byte-wise; case-insensitive means ASCII case folding.
namespace ryvoobs {

// The configuration keys whose string values redact_config_json hides.
inline constexpr std::array<std::string_view, 8> kRedactedFields = {
    "api_key",
    "api_key_id",
    "portal_link_session_id",
    "portal_link_poll_token",
    "portal_link_verification_code",
    "portal_link_verification_url",
    "previous_service_settings_json",
    "previous_service_hotkeys_json",
};

// Replaces the string values of kRedactedFields members with "<redacted>", leaving every other
// byte as it is. A listed member whose string value never closes makes the whole result
// "<unable to parse config JSON for redaction>", since where the secret ends is unknown.
std::string redact_config_json(std::string_view text);

// Replaces the host name with "<host>", then the home directory with the platform's generic home
// path. An empty name is not looked for.
std::string redact_paths_and_host(std::string_view text, std::string_view home_directory,
                                  std::string_view host_name);

// Hides RTMP URLs, bearer tokens, the values of well-known secret keys (api_key=..., "token": ...)
// and live secret keys (sk-live-...).
std::string redact_sensitive_text(std::string_view text);

}  // namespace ryvoobs

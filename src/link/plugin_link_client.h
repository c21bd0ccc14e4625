#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ryvoobs {

// A link the portal has opened for this install: what the user needs (code and page) and what
// the plug-in needs to poll it (session ID and poll token). `expires_at` is carried as received.
struct StartPluginLinkResponse {
    std::string link_session_id;
    std::string verification_code;
    std::string verification_url;
    std::string poll_token;
    std::string expires_at;
};

// One answer to a poll. Only `status` is always present; the account, stream and key fields
// come with "completed". `api_endpoint` is the polled endpoint when the portal names none.
struct PollPluginLinkResponse {
    std::string status;
    std::string linked_account_email;
    std::string linked_account_name;
    std::string selected_stream_id;
    std::string selected_stream_name;
    std::string api_key;
    std::string api_key_id;
    std::string api_endpoint;
};

// The portal-link requests. Each one blocks for its exchange (at most about five seconds) on a
// connection of its own, keeps nothing between calls and logs nothing: the poll token and the
// API key are account secrets. On failure `error` (may be null) holds the reason; on success it
// is cleared. `http_status` (may be null) receives the answer's status, 0 when none arrived,
// also when the call fails.
std::optional<StartPluginLinkResponse> start_plugin_link(const std::string& api_endpoint,
                                                         std::string* error,
                                                         std::int32_t* http_status);

std::optional<PollPluginLinkResponse> poll_plugin_link(const std::string& api_endpoint,
                                                       const std::string& link_session_id,
                                                       const std::string& poll_token,
                                                       std::string* error,
                                                       std::int32_t* http_status);

// True only when the portal confirms with a 2xx status and a JSON object.
bool cancel_plugin_link(const std::string& api_endpoint, const std::string& link_session_id,
                        const std::string& poll_token, std::string* error,
                        std::int32_t* http_status);

// Opens an http or https page in the user's default browser. `error` (may be null) is only
// written on failure.
bool open_url_in_browser(const std::string& url, std::string* error);

}  // namespace ryvoobs

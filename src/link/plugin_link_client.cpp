#include "link/plugin_link_client.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <span>
#include <utility>

#include "api/http_response.h"
#include "platform/browser.h"
#include "platform/http_session.h"

namespace ryvoobs {
namespace {

// Bounds the whole exchange, connecting included, and any silence within it.
constexpr std::chrono::milliseconds kLinkExchangeTimeout{5'000};

void set_text(std::string* target, std::string text) {
    if (target != nullptr) {
        *target = std::move(text);
    }
}

std::string plugin_link_base_url(std::string endpoint) {
    while (!endpoint.empty() && endpoint.back() == '/') {
        endpoint.pop_back();
    }
    return endpoint + "/api/v1/plugin-links";
}

// Every request gets a session of its own, dropped with its connection afterwards: nothing
// (connection, cookie, cache) carries over from one link request to the next. libcurl keeps no
// cookies unless told to and has no response cache.
HttpResponse send_link_request(HttpMethod method, const std::string& url, const HeaderSet& headers,
                               std::span<const std::uint8_t> body) {
    HttpSessionOptions options;
    options.exchange_timeout = kLinkExchangeTimeout;
    options.stall_timeout = kLinkExchangeTimeout;
    options.max_connections = 1;
    const HttpSession session(options);
    return send_request(session, method, url, headers, body);
}

std::optional<nlohmann::json> parse_json_body(const HttpResponse& response, std::string* error) {
    if (response.body.empty()) {
        set_text(error, response.error.empty() ? "empty response body" : response.error);
        return std::nullopt;
    }
    nlohmann::json parsed = nlohmann::json::parse(response.body, nullptr, false);
    if (!parsed.is_object()) {
        set_text(error, "invalid JSON response");
        return std::nullopt;
    }
    return parsed;
}

// A string value as it is; a missing key, null or any other type gives the fallback.
std::string string_from_json_value(const nlohmann::json& object, const char* key,
                                   const std::string& fallback = {}) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
}

std::string error_from_response_body(const nlohmann::json& object, const HttpResponse& response) {
    if (const auto found = object.find("error"); found != object.end() && found->is_string()) {
        return found->get<std::string>();
    }
    if (!response.error.empty()) {
        return response.error;
    }
    if (!response.body.empty()) {
        return response.body;
    }
    if (response.status_code < 1) {
        return "request failed";
    }
    return "request failed with " + std::to_string(response.status_code);
}

HeaderSet bearer_headers(const std::string& poll_token) {
    return {{"Authorization", "Bearer " + poll_token}};
}

// The steps every link request shares: the status is reported whatever happens, and only a 2xx
// answer carrying a JSON object goes on to the caller's reading of it.
std::optional<nlohmann::json> exchange_json(HttpMethod method, const std::string& url,
                                            const HeaderSet& headers,
                                            std::span<const std::uint8_t> body, std::string* error,
                                            std::int32_t* http_status) {
    const HttpResponse response = send_link_request(method, url, headers, body);
    if (http_status != nullptr) {
        *http_status = static_cast<std::int32_t>(response.status_code);
    }
    std::optional<nlohmann::json> object = parse_json_body(response, error);
    if (!object) {
        return std::nullopt;
    }
    if (!response.ok) {
        set_text(error, error_from_response_body(*object, response));
        return std::nullopt;
    }
    return object;
}

}  // namespace

std::optional<StartPluginLinkResponse> start_plugin_link(const std::string& api_endpoint,
                                                         std::string* error,
                                                         std::int32_t* http_status) {
    const std::optional<nlohmann::json> object =
        exchange_json(HttpMethod::post, plugin_link_base_url(api_endpoint) + "/start",
                      {{"Content-Type", "application/json"}}, {}, error, http_status);
    if (!object) {
        return std::nullopt;
    }
    StartPluginLinkResponse link{
        string_from_json_value(*object, "link_session_id"),
        string_from_json_value(*object, "verification_code"),
        string_from_json_value(*object, "verification_url"),
        string_from_json_value(*object, "poll_token"),
        string_from_json_value(*object, "expires_at"),
    };
    if (link.link_session_id.empty() || link.verification_url.empty() || link.poll_token.empty()) {
        set_text(error, "plugin link response was missing required fields");
        return std::nullopt;
    }
    set_text(error, {});
    return link;
}

std::optional<PollPluginLinkResponse> poll_plugin_link(const std::string& api_endpoint,
                                                       const std::string& link_session_id,
                                                       const std::string& poll_token,
                                                       std::string* error,
                                                       std::int32_t* http_status) {
    const std::optional<nlohmann::json> object =
        exchange_json(HttpMethod::get, plugin_link_base_url(api_endpoint) + "/" + link_session_id,
                      bearer_headers(poll_token), {}, error, http_status);
    if (!object) {
        return std::nullopt;
    }
    PollPluginLinkResponse poll{
        string_from_json_value(*object, "status"),
        string_from_json_value(*object, "linked_account_email"),
        string_from_json_value(*object, "linked_account_name"),
        string_from_json_value(*object, "selected_stream_id"),
        string_from_json_value(*object, "selected_stream_name"),
        string_from_json_value(*object, "api_key"),
        string_from_json_value(*object, "api_key_id"),
        string_from_json_value(*object, "api_endpoint", api_endpoint),
    };
    if (poll.status.empty()) {
        set_text(error, "plugin link poll response was missing status");
        return std::nullopt;
    }
    set_text(error, {});
    return poll;
}

bool cancel_plugin_link(const std::string& api_endpoint, const std::string& link_session_id,
                        const std::string& poll_token, std::string* error,
                        std::int32_t* http_status) {
    const std::optional<nlohmann::json> object = exchange_json(
        HttpMethod::post, plugin_link_base_url(api_endpoint) + "/" + link_session_id + "/cancel",
        bearer_headers(poll_token), {}, error, http_status);
    if (!object) {
        return false;
    }
    set_text(error, {});
    return true;
}

bool open_url_in_browser(const std::string& url, std::string* error) {
    switch (open_in_default_browser(url)) {
        case BrowserOpenResult::opened:
            return true;
        case BrowserOpenResult::invalid_url:
            set_text(error, "invalid portal URL");
            return false;
        case BrowserOpenResult::failed:
            break;
    }
    set_text(error, "failed to open Ryvo Portal in the default browser");
    return false;
}

}  // namespace ryvoobs

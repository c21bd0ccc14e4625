#include "link/plugin_link_client.h"

#include <chrono>
#include <span>
#include <utility>

#include "api/http_response.h"
#include "link/plugin_link_answers.h"
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

HeaderSet bearer_headers(const std::string& poll_token) {
    return {{"Authorization", "Bearer " + poll_token}};
}

// The status is reported whatever happens, also when the answer cannot be read.
HttpResponse exchange(HttpMethod method, const std::string& url, const HeaderSet& headers,
                      std::int32_t* http_status) {
    HttpResponse response = send_link_request(method, url, headers, {});
    if (http_status != nullptr) {
        *http_status = static_cast<std::int32_t>(response.status_code);
    }
    return response;
}

}  // namespace

std::optional<StartPluginLinkResponse> start_plugin_link(const std::string& api_endpoint,
                                                         std::string* error,
                                                         std::int32_t* http_status) {
    return read_start_answer(
        exchange(HttpMethod::post, plugin_link_base_url(api_endpoint) + "/start",
                 {{"Content-Type", "application/json"}}, http_status),
        error);
}

std::optional<PollPluginLinkResponse> poll_plugin_link(const std::string& api_endpoint,
                                                       const std::string& link_session_id,
                                                       const std::string& poll_token,
                                                       std::string* error,
                                                       std::int32_t* http_status) {
    return read_poll_answer(
        exchange(HttpMethod::get, plugin_link_base_url(api_endpoint) + "/" + link_session_id,
                 bearer_headers(poll_token), http_status),
        api_endpoint, error);
}

bool cancel_plugin_link(const std::string& api_endpoint, const std::string& link_session_id,
                        const std::string& poll_token, std::string* error,
                        std::int32_t* http_status) {
    return read_cancel_answer(
        exchange(HttpMethod::post,
                 plugin_link_base_url(api_endpoint) + "/" + link_session_id + "/cancel",
                 bearer_headers(poll_token), http_status),
        error);
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

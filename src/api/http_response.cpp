#include "api/http_response.h"

#include <algorithm>

namespace ryvoobs {

std::int64_t retry_after_ms_from_header(std::string_view value) {
    std::int64_t seconds = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') {
            break;
        }
        // Saturate well above the cap so that a long run of digits cannot overflow.
        seconds = std::min<std::int64_t>(seconds * 10 + (c - '0'), kMaxRetryAfterSeconds + 1);
    }
    if (seconds < 1) {
        return 0;
    }
    return std::min(seconds, kMaxRetryAfterSeconds) * 1000;
}

HttpResponse send_request(const HttpSession& session, HttpMethod method, const std::string& url,
                          const HeaderSet& headers, std::span<const std::uint8_t> body) {
    HttpResponse response;
    // Checked here as well as in the configuration: the link flow and a client built from an
    // unchecked configuration come through here too.
    if (sends_key_in_clear_text(url)) {
        response.error = kClearTextEndpointMessage;
        return response;
    }
    HttpExchange exchange = session.perform(method, url, headers, body);
    switch (exchange.outcome) {
        case HttpExchange::Outcome::invalid_url:
            response.error = "invalid URL";
            return response;
        case HttpExchange::Outcome::invalid_header:
            response.error = "invalid header";
            return response;
        case HttpExchange::Outcome::transport_failure:
            response.error = exchange.error.empty() ? "request failed" : std::move(exchange.error);
            return response;
        case HttpExchange::Outcome::response:
            break;
    }
    response.status_code = exchange.status;
    response.ok = exchange.status >= 200 && exchange.status <= 299;
    response.body = std::move(exchange.body);
    response.retry_after_ms = retry_after_ms_from_header(exchange.retry_after);
    return response;
}

const std::string& failure_text(const HttpResponse& response) {
    return response.error.empty() ? response.body : response.error;
}

}  // namespace ryvoobs

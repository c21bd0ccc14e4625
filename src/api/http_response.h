#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "api/ingest_requests.h"
#include "platform/http_session.h"

namespace ryvoobs {

// The raw result of one exchange with the ingest API.
struct HttpResponse {
    bool ok = false;               // a response arrived with a 2xx status
    std::int64_t status_code = 0;  // 0 when no HTTP response arrived
    std::string body;              // empty on a transport failure
    std::string error;             // the transport failure text; "" when a response arrived
    std::int64_t retry_after_ms = 0;
};

// Longest server-requested delay honoured.
inline constexpr std::int64_t kMaxRetryAfterSeconds = 300;

// Only delay-seconds count: leading decimal digits, at least 1, capped at five minutes. An
// HTTP date or any other text gives 0.
std::int64_t retry_after_ms_from_header(std::string_view value);

// One blocking exchange; `body` is sent with a POST, from the caller's buffer. A plain http:// URL
// to a host other than this machine fails with kClearTextEndpointMessage before any network
// activity.
HttpResponse send_request(const HttpSession& session, HttpMethod method, const std::string& url,
                          const HeaderSet& headers, std::span<const std::uint8_t> body = {});

// What a failed exchange has to say: the transport's text when there is one, otherwise the
// server's answer as it came.
const std::string& failure_text(const HttpResponse& response);

}  // namespace ryvoobs

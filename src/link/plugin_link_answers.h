#pragma once

#include <optional>
#include <string>

#include "api/http_response.h"
#include "link/plugin_link_client.h"

namespace ryvoobs {

// How the link client reads the portal's answer to each of its requests, apart from the exchange
// that fetched it. Only a 2xx answer whose body is a JSON object (with the operation's required
// fields) succeeds; `error` (may be null) then is cleared, otherwise it holds the reason.

std::optional<StartPluginLinkResponse> read_start_answer(const HttpResponse& response,
                                                         std::string* error);

// `api_endpoint` stands in for an answer that names no endpoint of its own.
std::optional<PollPluginLinkResponse> read_poll_answer(const HttpResponse& response,
                                                       const std::string& api_endpoint,
                                                       std::string* error);

bool read_cancel_answer(const HttpResponse& response, std::string* error);

}  // namespace ryvoobs

#include "link/plugin_link_answers.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace ryvoobs {
namespace {

void set_text(std::string* target, std::string text) {
    if (target != nullptr) {
        *target = std::move(text);
    }
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

// An empty "error" says nothing, and a failure must never reach the user without a reason, so it
// counts as no "error" at all.
std::string error_from_response_body(const nlohmann::json& object, const HttpResponse& response) {
    if (const auto found = object.find("error"); found != object.end() && found->is_string() &&
                                                 !found->get_ref<const std::string&>().empty()) {
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

// The steps every answer shares: only a 2xx answer carrying a JSON object goes on to the
// operation's own reading of it.
std::optional<nlohmann::json> read_json_answer(const HttpResponse& response, std::string* error) {
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

std::optional<StartPluginLinkResponse> read_start_answer(const HttpResponse& response,
                                                         std::string* error) {
    const std::optional<nlohmann::json> object = read_json_answer(response, error);
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

std::optional<PollPluginLinkResponse> read_poll_answer(const HttpResponse& response,
                                                       const std::string& api_endpoint,
                                                       std::string* error) {
    const std::optional<nlohmann::json> object = read_json_answer(response, error);
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

bool read_cancel_answer(const HttpResponse& response, std::string* error) {
    if (!read_json_answer(response, error)) {
        return false;
    }
    set_text(error, {});
    return true;
}

}  // namespace ryvoobs

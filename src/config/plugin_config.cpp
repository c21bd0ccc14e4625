#include "config/plugin_config.h"

#include <cstdlib>
#include <string_view>

namespace ryvoobs {
namespace {

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void trim(std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size() && is_c_space(text[begin])) {
        ++begin;
    }
    std::size_t end = text.size();
    while (end > begin && is_c_space(text[end - 1])) {
        --end;
    }
    text = text.substr(begin, end - begin);
}

template <typename Enum>
const char* enum_text(Enum value, const char* first, const char* second, const char* third) {
    switch (static_cast<std::int32_t>(value)) {
        case 2:
            return third;
        case 1:
            return second;
        default:
            return first;
    }
}

}  // namespace

std::string default_api_endpoint() {
    const char* overridden = std::getenv("RYVO_DEFAULT_API_ENDPOINT");
    return overridden != nullptr && overridden[0] != '\0' ? overridden : kDefaultApiEndpoint;
}

const char* to_string(AuthMode mode) {
    return static_cast<std::int32_t>(mode) == 1 ? "portal" : "manual";
}

const char* to_string(RuntimeMode mode) {
    return enum_text(mode, "tap_only", "runtime_only", "full");
}

const char* to_string(CaptureMode mode) {
    return enum_text(mode, "streaming", "recording", "either");
}

bool parse_capture_mode(const std::string& text, CaptureMode* out) {
    if (text == "streaming") {
        *out = CaptureMode::streaming;
    } else if (text == "recording") {
        *out = CaptureMode::recording;
    } else if (text == "either") {
        *out = CaptureMode::either;
    } else {
        return false;
    }
    return true;
}

std::string normalize_stream_id(std::string text) {
    constexpr std::string_view kLeading = "\"'(<[{";
    constexpr std::string_view kTrailing = "\"'),.:;>]}";
    trim(text);
    std::size_t begin = 0;
    while (begin < text.size() && kLeading.find(text[begin]) != std::string_view::npos) {
        ++begin;
    }
    std::size_t end = text.size();
    while (end > begin && kTrailing.find(text[end - 1]) != std::string_view::npos) {
        --end;
    }
    text = text.substr(begin, end - begin);
    trim(text);
    return text;
}

std::vector<std::string> PluginConfig::validate() const {
    std::vector<std::string> messages;
    if (enabled) {
        if (auth_mode == AuthMode::portal) {
            if (stream_id.empty() != api_key.empty()) {
                messages.emplace_back(
                    "portal mode requires both stream_id and api_key when linked");
            }
        } else {
            if (stream_id.empty()) {
                messages.emplace_back("stream_id is required");
            }
            if (api_key.empty()) {
                messages.emplace_back("api_key is required");
            }
        }
    }
    if (segment_duration_ms < 1) {
        messages.emplace_back("segment_duration_ms must be positive");
    }
    if (ram_buffer_minutes < 1 || ram_buffer_minutes > 15) {
        messages.emplace_back("ram_buffer_minutes must be between 1 and 15");
    }
    if (agent_id != "primary" && agent_id != "backup") {
        messages.emplace_back("agent_id must be primary or backup");
    }
    return messages;
}

}  // namespace ryvoobs

#include "config/plugin_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>

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

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool is_loopback_host(std::string_view host) {
    if (host.find('\0') != std::string_view::npos) {
        return false;
    }
    if (equals_ignoring_case(host, "localhost")) {
        return true;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        in6_addr address{};
        const std::string literal(host.substr(1, host.size() - 2));
        return inet_pton(AF_INET6, literal.c_str(), &address) == 1 &&
               IN6_IS_ADDR_LOOPBACK(&address);
    }
    // Only the dotted-quad form: the shorthand forms some resolvers accept are refused, not read.
    in_addr address{};
    const std::string literal(host);
    return inet_pton(AF_INET, literal.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24) == 127;
}

bool is_port(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool sends_key_in_clear_text(std::string_view url) {
    constexpr std::string_view kPlainScheme = "http:";
    if (url.size() < kPlainScheme.size() ||
        !equals_ignoring_case(url.substr(0, kPlainScheme.size()), kPlainScheme)) {
        return false;
    }
    std::string_view rest = url.substr(kPlainScheme.size());
    if (!rest.starts_with("//")) {
        return true;
    }
    rest.remove_prefix(2);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    // Read strictly, host then an optional port: user info or stray characters could make
    // another URL parser see a different host, so they count as not local.
    std::size_t host_end = authority.starts_with('[') ? authority.find(']') : authority.find(':');
    if (authority.starts_with('[')) {
        if (host_end == std::string_view::npos) {
            return true;
        }
        ++host_end;
    }
    host_end = std::min(host_end, authority.size());
    const std::string_view tail = authority.substr(host_end);
    if (!tail.empty() && !(tail.front() == ':' && is_port(tail.substr(1)))) {
        return true;
    }
    return !is_loopback_host(authority.substr(0, host_end));
}

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
    if (sends_key_in_clear_text(api_endpoint)) {
        messages.emplace_back(kClearTextEndpointMessage);
    }
    return messages;
}

}  // namespace ryvoobs

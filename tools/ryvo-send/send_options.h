#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ryvoobs {

// What the command line asked for. Settings left unset come from the configuration file.
struct SendOptions {
    std::string media_path;
    std::optional<std::string> config_path;
    std::optional<std::string> state_path;
    std::optional<std::string> endpoint;
    std::optional<std::string> stream_id;
    std::optional<std::string> api_key;
    std::optional<std::int32_t> segment_ms;
    std::optional<std::string> agent;
    bool fast = false;
    std::int32_t loops = 1;
    bool quiet = false;
    bool status_json = false;
    bool help = false;

    // Whether any setting overrides the configuration file.
    bool overrides_configuration() const;
};

// `arguments` excludes the program name. `env_api_key` (RYVO_API_KEY, may be null) stands in for
// --api-key when that flag is absent. On failure `error` gets a one-line reason.
std::optional<SendOptions> parse_send_options(std::span<const char* const> arguments,
                                              const char* env_api_key, std::string* error);

std::string send_usage_text();

}  // namespace ryvoobs

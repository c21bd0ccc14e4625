#include "sender_config.h"

#include <utility>
#include <vector>

#include "config/config_file.h"

namespace ryvoobs {
namespace {

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// The plug-in lets a disabled configuration go without credentials; a sender always needs them.
std::optional<std::string> first_problem(const PluginConfig& config) {
    std::vector<std::string> messages = config.validate();
    if (!messages.empty()) {
        return "invalid configuration: " + messages.front();
    }
    if (config.stream_id.empty()) {
        return std::string("invalid configuration: stream_id is required");
    }
    if (config.api_key.empty()) {
        return std::string("invalid configuration: api_key is required");
    }
    return std::nullopt;
}

// The file --config names, or the plug-in's own, whose portal key is in the credential store.
std::string config_path_of(const SendOptions& options) {
    return options.config_path.value_or(default_config_path());
}

KeyStorage key_storage_of(const SendOptions& options) {
    return options.config_path ? KeyStorage::in_file : KeyStorage::credential_store;
}

// The reader's message, naming the file when the message does not already.
std::optional<PluginConfig> read_named_config_file(const SendOptions& options, std::string* error) {
    const std::string path = config_path_of(options);
    std::string reason;
    std::optional<PluginConfig> config = read_config_file(path, &reason, key_storage_of(options));
    if (!config) {
        set_error(error, reason.find(path) == std::string::npos ? path + ": " + reason : reason);
    }
    return config;
}

// Without --config, a stream given on the command line stands on its own; otherwise the file is
// the base that the flags amend.
std::optional<PluginConfig> base_config(const SendOptions& options, std::string* error) {
    if (!options.config_path && options.stream_id) {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        return config;
    }
    return read_named_config_file(options, error);
}

void apply_overrides(const SendOptions& options, PluginConfig& config) {
    if (options.endpoint || options.stream_id || options.api_key) {
        // A portal-linked file would have its endpoint reset to the built-in one when read
        // again; the connection given here is the user's own.
        config.auth_mode = AuthMode::manual;
    }
    if (options.endpoint) {
        config.api_endpoint = *options.endpoint;
        while (config.api_endpoint.size() > 1 && config.api_endpoint.back() == '/') {
            config.api_endpoint.pop_back();
        }
    }
    if (options.stream_id) {
        config.stream_id = normalize_stream_id(*options.stream_id);
    }
    if (options.api_key) {
        config.api_key = *options.api_key;
    }
    if (options.segment_ms) {
        config.segment_duration_ms = *options.segment_ms;
    }
    if (options.agent) {
        config.agent_id = *options.agent;
    }
    // The plug-in's switch decides whether OBS broadcasts are delivered; this command was asked
    // to deliver.
    config.enabled = true;
    config.runtime_mode = RuntimeMode::full;
}

}  // namespace

std::optional<PluginConfig> prepare_sender_config(const SendOptions& options, std::string* error) {
    std::optional<PluginConfig> config = options.overrides_configuration()
                                             ? base_config(options, error)
                                             : read_named_config_file(options, error);
    if (!config) {
        return std::nullopt;
    }
    if (options.overrides_configuration()) {
        apply_overrides(options, *config);
    }
    if (std::optional<std::string> problem = first_problem(*config)) {
        set_error(error, std::move(*problem));
        return std::nullopt;
    }
    return config;
}

}  // namespace ryvoobs

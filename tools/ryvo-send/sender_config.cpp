#include "sender_config.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
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

// The reader's message, naming the file when the message does not already.
std::optional<PluginConfig> read_named_config_file(const std::string& path, std::string* error) {
    std::string reason;
    std::optional<PluginConfig> config = read_config_file(path, &reason);
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
    return read_named_config_file(options.config_path.value_or(default_config_path()), error);
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

// A directory only the user can enter, removed with its contents.
class SenderConfig::PrivateDirectory {
  public:
    static std::unique_ptr<PrivateDirectory> create(std::string* error) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/ryvo-send-XXXXXX";
        // mkdtemp creates the directory with mode 0700.
        if (mkdtemp(pattern.data()) == nullptr) {
            set_error(error, "cannot create a private temporary directory in " +
                                 std::filesystem::path(pattern).parent_path().string());
            return nullptr;
        }
        return std::unique_ptr<PrivateDirectory>(new PrivateDirectory(std::move(pattern)));
    }

    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;
    ~PrivateDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }

  private:
    explicit PrivateDirectory(std::string path) : path_(std::move(path)) {}

    std::string path_;
};

std::optional<SenderConfig> SenderConfig::prepare(const SendOptions& options, std::string* error) {
    if (!options.overrides_configuration()) {
        const std::string path = options.config_path.value_or(default_config_path());
        std::optional<PluginConfig> config = read_named_config_file(path, error);
        if (!config) {
            return std::nullopt;
        }
        if (std::optional<std::string> problem = first_problem(*config)) {
            set_error(error, std::move(*problem));
            return std::nullopt;
        }
        return SenderConfig(path, std::move(*config), nullptr);
    }
    std::optional<PluginConfig> config = base_config(options, error);
    if (!config) {
        return std::nullopt;
    }
    apply_overrides(options, *config);
    if (std::optional<std::string> problem = first_problem(*config)) {
        set_error(error, std::move(*problem));
        return std::nullopt;
    }
    std::unique_ptr<PrivateDirectory> directory = PrivateDirectory::create(error);
    if (!directory) {
        return std::nullopt;
    }
    std::string path = directory->path() + "/config.json";
    // Written owner-only; it carries the API key.
    if (!save_config_file(path, *config, error)) {
        return std::nullopt;
    }
    return SenderConfig(std::move(path), std::move(*config), std::move(directory));
}

SenderConfig::SenderConfig(std::string path, PluginConfig config,
                           std::unique_ptr<PrivateDirectory> directory)
    : path_(std::move(path)), config_(std::move(config)), directory_(std::move(directory)) {}

SenderConfig::SenderConfig(SenderConfig&&) noexcept = default;
SenderConfig& SenderConfig::operator=(SenderConfig&&) noexcept = default;
SenderConfig::~SenderConfig() = default;

}  // namespace ryvoobs

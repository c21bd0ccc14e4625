#pragma once

#include <memory>
#include <optional>
#include <string>

#include "config/plugin_config.h"
#include "send_options.h"

namespace ryvoobs {

// The configuration the delivery runtime reads: the user's file as it stands, or, when the
// command line overrides a setting, a private copy with the overrides applied that lives as long
// as this object.
class SenderConfig {
  public:
    // Checks the result like the plug-in does and also requires a stream and a key. On failure
    // `error` gets the reader's or validator's message.
    static std::optional<SenderConfig> prepare(const SendOptions& options, std::string* error);

    SenderConfig(SenderConfig&&) noexcept;
    SenderConfig& operator=(SenderConfig&&) noexcept;
    ~SenderConfig();

    const std::string& path() const { return path_; }
    const PluginConfig& config() const { return config_; }

  private:
    class PrivateDirectory;

    SenderConfig(std::string path, PluginConfig config,
                 std::unique_ptr<PrivateDirectory> directory);

    std::string path_;
    PluginConfig config_;
    std::unique_ptr<PrivateDirectory> directory_;
};

}  // namespace ryvoobs

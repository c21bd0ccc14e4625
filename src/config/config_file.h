#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

// <application support root>/Ryvo/obs-plugin.json for the current user.
std::string default_config_path();

// Reads the file with defaults, mode checks and the portal rules, and fetches a portal-linked
// install's API key from the credential store when the file at the default path has none. Does
// not validate. `error` (may be null) is only written on failure.
std::optional<PluginConfig> read_config_file(const std::string& path, std::string* error);

// read_config_file, then validate(): a configuration that breaks a rule is refused with the first
// message as the error.
std::optional<PluginConfig> load_config_file(const std::string& path, std::string* error);

// Writes the whole record, owner-only, replacing the file atomically; at the default path a
// portal-linked install's API key goes to the credential store instead of the file. True when the
// file was written, in which case `error` may still carry the first validation message.
bool save_config_file(const std::string& path, const PluginConfig& config, std::string* error);

}  // namespace ryvoobs

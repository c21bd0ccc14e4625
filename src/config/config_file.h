#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

// <application support root>/Ryvo/obs-plugin.json for the current user.
std::string default_config_path();

// Where a portal-linked install's API key lives. The plug-in's own file keeps it in the user's
// credential store and writes an empty "api_key"; any other file (a sender's private copy, a
// test's) carries it in the file.
enum class KeyStorage { in_file, credential_store };

// Parses the file's text with defaults, mode checks and the portal rules; with the credential
// store, a portal-linked install's key is fetched from there when the text has none. Does not
// validate. `error` (may be null) is only written on failure.
std::optional<PluginConfig> parse_config_text(const std::string& text, KeyStorage keys,
                                              std::string* error);

// parse_config_text of the file's content; a file that cannot be read fails with
// "config file not found: " + path.
std::optional<PluginConfig> read_config_file(const std::string& path, std::string* error,
                                             KeyStorage keys = KeyStorage::in_file);

// read_config_file, then validate(): a configuration that breaks a rule is refused with the first
// message as the error.
std::optional<PluginConfig> load_config_file(const std::string& path, std::string* error,
                                             KeyStorage keys = KeyStorage::in_file);

// Writes the whole record, owner-only, replacing the file atomically; with the credential store a
// portal-linked install's API key goes there instead of into the file. True when the file was
// written, in which case `error` may still carry the first validation message.
bool save_config_file(const std::string& path, const PluginConfig& config, std::string* error,
                      KeyStorage keys = KeyStorage::in_file);

}  // namespace ryvoobs

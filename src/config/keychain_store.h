#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

// The API key of a portal-linked install lives in the user's credential store (the Secret
// Service on Linux), one item per (service, account) pair.
std::string default_api_key_service();
std::string default_api_key_account(const PluginConfig& config);

bool store_api_key_in_keychain(const std::string& service, const std::string& account,
                               const std::string& api_key, std::string* error);
// Nothing with an empty error: there is no such item. Nothing with an error: the read failed.
std::optional<std::string> load_api_key_from_keychain(const std::string& service,
                                                      const std::string& account,
                                                      std::string* error);
bool remove_api_key_from_keychain(const std::string& service, const std::string& account,
                                  std::string* error);

}  // namespace ryvoobs

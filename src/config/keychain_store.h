#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

// The API key of a portal-linked install lives in the user's credential store (the Secret
// Service on Linux), one item per (service, account) pair. These functions never log.

// The reverse domain of the endpoint's host followed by ".obs.api-key", e.g.
// "https://ingest.ryvo.net" gives "net.ryvo.ingest.obs.api-key"; the default is that of the
// built-in endpoint.
std::string default_api_key_service();
std::string api_key_service_for_endpoint(const std::string& endpoint);
// The configuration's api_key_id, else "portal-default" or "manual-default" by auth_mode.
std::string default_api_key_account(const PluginConfig& config);

// How many times this process has asked the credential store (store, load or remove): what the
// plug-in's settings cost the session's Secret Service.
std::uint64_t credential_store_calls();

// Creates or replaces the pair's item; on success clears `error`.
bool store_api_key_in_keychain(const std::string& service, const std::string& account,
                               const std::string& api_key, std::string* error);
// Nothing with an empty error: there is no such item. Nothing with an error: the read failed.
std::optional<std::string> load_api_key_from_keychain(const std::string& service,
                                                      const std::string& account,
                                                      std::string* error);

}  // namespace ryvoobs

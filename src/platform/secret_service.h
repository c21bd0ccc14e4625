#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ryvoobs {

// Synchronous access to the session's Secret Service for the plug-in's own secrets: items of one
// schema, identified by a (service, account) pair, in the default collection. The secret is raw
// bytes, so any string round-trips unchanged.
//
// Each call opens its own Secret Service proxy on its own GLib main context and keeps nothing
// once it returns, so it needs no main loop and may run on any thread. The D-Bus session bus must
// be named by the environment (DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus); without it a
// call fails at once rather than autolaunching a bus. Reads and deletes never ask the user to
// unlock a locked keyring (they fail instead); adding to a locked collection lets the service
// prompt, as that only happens when the user saves new credentials.
//
// On failure a call returns false (or nothing) and sets `message`, when given, to the service's
// description of the failure.

// Deletes every item of the pair; finding none is success.
bool delete_secret_items(const std::string& service, const std::string& account,
                         std::string* message);

// Adds an item for the pair, replacing an existing one with the same attributes.
bool add_secret_item(const std::string& service, const std::string& account,
                     std::string_view secret, std::string* message);

// The secret of the pair's item. Nothing with an empty message: there is no such item.
std::optional<std::string> lookup_secret_item(const std::string& service,
                                              const std::string& account, std::string* message);

}  // namespace ryvoobs

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/keychain_store.h"

namespace ryvoobs {
namespace {

const std::string kService = "net.ryvo.test.obs.api-key";

// GLib keeps the first session bus connection of a process, so these run in a process of their
// own that never reaches a bus.
void expect_prefixed(const std::string& error, const std::string& prefix) {
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), prefix.size()) << error;
}

TEST(UnreachableSecretService, EveryOperationReportsTheFailure) {
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    std::string error;
    EXPECT_FALSE(store_api_key_in_keychain(kService, "offline", "key", &error));
    expect_prefixed(error, "failed to replace Keychain item: ");
    EXPECT_EQ(load_api_key_from_keychain(kService, "offline", &error), std::nullopt);
    expect_prefixed(error, "failed to read API key from Keychain: ");
}

// Without a named bus GLib would try to autolaunch one through X11; the store must not.
TEST(UnreachableSecretService, NoSessionBusFailsWithoutStartingOne) {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    setenv("DISPLAY", ":97", 1);
    std::string error;
    EXPECT_EQ(load_api_key_from_keychain(kService, "offline", &error), std::nullopt);
    EXPECT_EQ(error, "failed to read API key from Keychain: no D-Bus session bus is available");
}

}  // namespace
}  // namespace ryvoobs

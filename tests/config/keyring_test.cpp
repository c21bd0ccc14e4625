#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/config_file.h"
#include "config/keychain_store.h"
#include "isolated_home.h"
#include "keyring_lock.h"
#include "platform/file_system.h"

namespace ryvoobs {
namespace {

// The plug-in's own service, so that its configuration file finds the items stored here.
const std::string kService = api_key_service_for_endpoint(kDefaultApiEndpoint);
constexpr KeyStorage kStore = KeyStorage::credential_store;

std::optional<std::string> load(const std::string& account, std::string* error) {
    return load_api_key_from_keychain(kService, account, error);
}

std::string file_text(const std::string& path) {
    return read_whole_file(path, nullptr).value_or("");
}

PluginConfig linked(const std::string& key_id, const std::string& key) {
    PluginConfig config;
    config.stream_id = "stream-1";
    config.api_key_id = key_id;
    config.api_key = key;
    return config;
}

class Keyring : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("RYVO_PRIVATE_KEYRING"), nullptr) << "run under with-keyring.sh";
    }
    static std::string key_field(const std::string& path) {
        return nlohmann::json::parse(file_text(path)).at("api_key");
    }

    testing::IsolatedHome home_;
    std::string path_ = default_config_path();
    std::string error_;
};

// A keyring that cannot be used is a failure with its reason, never "no key": a portal save then
// leaves the file alone, and a portal file without a key in it does not read. GLib keeps a
// process's session connection, so this test comes first, before any other has reached the bus.
TEST_F(Keyring, AnUnusableKeyringFailsEveryPortalOperationWithItsReason) {
    const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    // Without a named bus GLib would try to autolaunch one through X11; the store must not.
    const testing::ScopedEnv display("DISPLAY", ":97");
    const auto mend_bus = [&] {
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    };
    // The first situation meets no item at all; the others find this one and must not lose it.
    const auto mend_bus_and_store = [&] {
        mend_bus();
        ASSERT_TRUE(store_api_key_in_keychain(kService, "held", "held-key", &error_)) << error_;
    };
    const struct {
        const char* name;
        std::function<void()> enter;
        std::function<void()> leave;
        std::string reason;
    } situations[] = {
        {"unreachable bus", [] { setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1); },
         mend_bus_and_store, ""},
        {"locked", [] { testing::set_login_collection_locked(true); },
         [] { testing::set_login_collection_locked(false); },
         "the keyring holding the item is locked"},
        {"no bus",
         [] {
             unsetenv("DBUS_SESSION_BUS_ADDRESS");
             setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
         },
         mend_bus, "no D-Bus session bus is available"},
    };
    const std::string old_file = R"({"stream_id": "old"})";
    std::filesystem::create_directories(home_.file(".config/Ryvo"));
    for (const auto& s : situations) {
        SCOPED_TRACE(s.name);
        std::ofstream(path_) << old_file;
        s.enter();
        const auto expect_failure = [&](const std::string& prefix) {
            EXPECT_TRUE(error_.starts_with(prefix + s.reason)) << error_;
            EXPECT_GT(error_.size(), prefix.size()) << error_;
        };
        EXPECT_EQ(load("held", &error_), std::nullopt);
        expect_failure("failed to read API key from Keychain: ");
        EXPECT_FALSE(save_config_file(path_, linked("held", "secret"), &error_, kStore));
        expect_failure("failed to replace Keychain item: ");
        EXPECT_EQ(file_text(path_), old_file);
        std::ofstream(path_) << R"({"stream_id": "s", "api_key_id": "held"})";
        EXPECT_FALSE(read_config_file(path_, &error_, kStore));
        expect_failure("failed to read API key from Keychain: ");
        // Nothing needs the store when the key is in the file.
        PluginConfig manual = linked("held", "secret");
        manual.auth_mode = AuthMode::manual;
        EXPECT_TRUE(save_config_file(path_, manual, &error_, kStore)) << error_;
        EXPECT_TRUE(read_config_file(path_, &error_, kStore)) << error_;
        s.leave();
        EXPECT_EQ(load("held", nullptr), "held-key");
    }
}

TEST_F(Keyring, StoringReplacesTheKeyByteForByte) {
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte.push_back(static_cast<char>(byte));
    }
    for (const std::string& key : {every_byte, std::string()}) {
        std::string error = "stale";
        ASSERT_TRUE(store_api_key_in_keychain(kService, "twice", key, &error)) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(load("twice", &error), key);
    }
    // Items are kept apart by service and account; a missing one is no failure.
    ASSERT_TRUE(store_api_key_in_keychain("net.ryvo.other.obs.api-key", "twice", "x", nullptr));
    EXPECT_EQ(load("twice", nullptr), "");
    std::string error = "stale";
    EXPECT_EQ(load("missing", &error), std::nullopt);
    EXPECT_EQ(error, "");
}

TEST_F(Keyring, PortalKeyLivesInTheStoreOnlyWhenAskedToAndAKeyInTheFileWins) {
    ASSERT_TRUE(save_config_file(path_, PluginConfig{}, &error_, kStore));
    EXPECT_EQ(read_config_file(path_, &error_, kStore), PluginConfig{}) << error_;
    PluginConfig config = linked("key-id-1", "secret-1");
    ASSERT_TRUE(save_config_file(path_, config, &error_, kStore)) << error_;
    EXPECT_EQ(key_field(path_), "");
    EXPECT_EQ(load("key-id-1", nullptr), "secret-1");
    EXPECT_EQ(read_config_file(path_, &error_, kStore), config) << error_;

    // A key written into the plug-in's file is used, and the next save moves it to the store.
    std::ofstream(path_) << R"({"stream_id": "s", "api_key_id": "key-id-1", "api_key": "edited"})";
    const auto edited = read_config_file(path_, &error_, kStore);
    ASSERT_TRUE(edited) << error_;
    EXPECT_EQ(edited->api_key, "edited");
    ASSERT_TRUE(save_config_file(path_, *edited, &error_, kStore));
    EXPECT_EQ(key_field(path_), "");
    EXPECT_EQ(load("key-id-1", nullptr), "edited");

    // A manual install keeps its key in the file, even at the plug-in's own path.
    config.auth_mode = AuthMode::manual;
    config.api_key = "manual-secret";
    ASSERT_TRUE(save_config_file(path_, config, &error_, kStore));
    EXPECT_EQ(key_field(path_), "manual-secret");
    EXPECT_EQ(load("key-id-1", nullptr), "edited");
}

TEST(KeychainNames, AccountFollowsKeyIdThenModeAndServiceIsTheEndpointHostReversed) {
    PluginConfig config;
    EXPECT_EQ(default_api_key_account(config), "portal-default");
    config.auth_mode = AuthMode::manual;
    EXPECT_EQ(default_api_key_account(config), "manual-default");
    config.api_key_id = "key_123";
    EXPECT_EQ(default_api_key_account(config), "key_123");
    EXPECT_EQ(api_key_service_for_endpoint("https://user@Ingest.Ryvo.NET:8443/v1/?x=a.b"),
              "net.ryvo.ingest.obs.api-key");
    EXPECT_EQ(api_key_service_for_endpoint("ryvo.net"), "net.ryvo.obs.api-key");
}

}  // namespace
}  // namespace ryvoobs

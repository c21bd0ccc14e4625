#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/config_file.h"
#include "config/keychain_store.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

constexpr KeyStorage kStore = KeyStorage::credential_store;

class ConfigFileKeyringTest : public ::testing::Test {
  protected:
    static nlohmann::json file_at(const std::string& path) {
        return nlohmann::json::parse(std::ifstream(path));
    }
    static std::optional<std::string> stored_key(const PluginConfig& config) {
        return load_api_key_from_keychain(default_api_key_service(),
                                          default_api_key_account(config), nullptr);
    }

    testing::IsolatedHome home_;
    std::string default_path_ = default_config_path();
    std::string error_;
};

PluginConfig linked(const std::string& key_id, const std::string& key) {
    PluginConfig config;
    config.stream_id = "stream-1";
    config.api_key_id = key_id;
    config.api_key = key;
    return config;
}

TEST_F(ConfigFileKeyringTest, PortalKeyLivesInTheCredentialStoreOnlyWhenAskedTo) {
    // Unlinked, with no item stored yet, the file reads with an empty key.
    ASSERT_TRUE(save_config_file(default_path_, PluginConfig{}, &error_, kStore));
    EXPECT_EQ(read_config_file(default_path_, &error_, kStore), PluginConfig{}) << error_;

    PluginConfig config = linked("key-id-1", "secret-1");
    ASSERT_TRUE(save_config_file(default_path_, config, &error_, kStore)) << error_;
    EXPECT_EQ(file_at(default_path_)["api_key"], "");
    EXPECT_EQ(stored_key(config), "secret-1");
    EXPECT_EQ(read_config_file(default_path_, &error_, kStore), config) << error_;

    std::string other_path = home_.file("elsewhere.json");
    ASSERT_TRUE(save_config_file(other_path, linked("key-id-2", "secret-2"), &error_));
    EXPECT_EQ(file_at(other_path)["api_key"], "secret-2");
    EXPECT_EQ(stored_key(linked("key-id-2", "")), std::nullopt);

    // A manual install keeps its key in the file even at the default path.
    config.auth_mode = AuthMode::manual;
    config.api_key = "manual-secret";
    ASSERT_TRUE(save_config_file(default_path_, config, &error_, kStore));
    EXPECT_EQ(file_at(default_path_)["api_key"], "manual-secret");
    EXPECT_EQ(stored_key(config), "secret-1");
}

TEST_F(ConfigFileKeyringTest, KeyInAPortalFileWinsUntilTheNextSaveMovesIt) {
    ASSERT_TRUE(save_config_file(default_path_, linked("key-id-3", "stored"), &error_, kStore));
    std::ofstream(default_path_)
        << R"({"stream_id": "stream-1", "api_key_id": "key-id-3", "api_key": "from-file"})";
    auto config = read_config_file(default_path_, &error_, kStore);
    ASSERT_TRUE(config) << error_;
    EXPECT_EQ(config->api_key, "from-file");

    ASSERT_TRUE(save_config_file(default_path_, *config, &error_, kStore));
    EXPECT_EQ(file_at(default_path_)["api_key"], "");
    EXPECT_EQ(stored_key(*config), "from-file");
}

}  // namespace
}  // namespace ryvoobs

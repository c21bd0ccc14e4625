#include <stdlib.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

// Runs without any Secret Service: the session bus address names a socket that does not exist.
class ConfigFileWithoutKeyringTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ryvo-test-bus", 1);
        std::filesystem::create_directories(parent_directory());
        std::ofstream(path_) << kOldContent;
    }
    std::string parent_directory() const { return path_.substr(0, path_.rfind('/')); }
    std::string contents() const {
        std::ostringstream out;
        out << std::ifstream(path_).rdbuf();
        return out.str();
    }

    static constexpr const char* kOldContent = R"({"stream_id": "old"})";
    testing::IsolatedHome home_;
    std::string path_ = default_config_path();
    std::string error_;
};

TEST_F(ConfigFileWithoutKeyringTest, PortalSaveFailsWithTheStoreTextAndLeavesTheFile) {
    PluginConfig config;
    config.stream_id = "stream-1";
    config.api_key = "secret";
    EXPECT_FALSE(save_config_file(path_, config, &error_, KeyStorage::credential_store));
    EXPECT_NE(error_.find("Keychain"), std::string::npos) << error_;
    EXPECT_EQ(contents(), kOldContent);

    // Nothing needs the store when the key stays in the file.
    config.auth_mode = AuthMode::manual;
    EXPECT_TRUE(save_config_file(path_, config, &error_, KeyStorage::credential_store)) << error_;
}

TEST_F(ConfigFileWithoutKeyringTest, PortalReadWithoutAKeyFailsWithTheStoreText) {
    EXPECT_FALSE(read_config_file(path_, &error_, KeyStorage::credential_store));
    EXPECT_EQ(error_.rfind("failed to read API key from Keychain: ", 0), 0u) << error_;
    std::ofstream(path_) << R"({"stream_id": "s", "api_key": "in-file"})";
    EXPECT_TRUE(read_config_file(path_, &error_, KeyStorage::credential_store));
}

}  // namespace
}  // namespace ryvoobs

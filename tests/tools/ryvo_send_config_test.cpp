#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "config/config_file.h"
#include "isolated_home.h"
#include "sender_config.h"

namespace ryvoobs {
namespace {

using testing::IsolatedHome;

class SenderConfigTest : public ::testing::Test {
  protected:
    std::string write_file(const std::string& name, const std::string& text) const {
        const std::string path = home_.file(name);
        std::ofstream(path) << text;
        return path;
    }

    IsolatedHome home_;
};

TEST_F(SenderConfigTest, FlagsAloneMakeAManualConfiguration) {
    SendOptions options;
    options.stream_id = " [abc] ";
    options.api_key = "secret";
    options.endpoint = "http://127.0.0.1:9/";
    options.segment_ms = 500;
    std::string error;
    const std::optional<PluginConfig> config = prepare_sender_config(options, &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->stream_id, "abc");
    EXPECT_EQ(config->api_key, "secret");
    EXPECT_EQ(config->api_endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(config->segment_duration_ms, 500);
    EXPECT_EQ(config->auth_mode, AuthMode::manual);
}

TEST_F(SenderConfigTest, FlagsAmendTheFileAndAnEndpointOfTheUsersOwnIsKept) {
    const std::string file = write_file(
        "linked.json",
        R"({"auth_mode": "portal", "stream_id": "linked", "api_key": "k", "agent_id": "backup"})");
    SendOptions options;
    options.config_path = file;
    options.segment_ms = 4000;
    std::string error;
    std::optional<PluginConfig> amended = prepare_sender_config(options, &error);
    ASSERT_TRUE(amended) << error;
    EXPECT_EQ(amended->stream_id, "linked");
    EXPECT_EQ(amended->api_key, "k");
    EXPECT_EQ(amended->agent_id, "backup");
    EXPECT_EQ(amended->segment_duration_ms, 4000);

    // A portal-linked file is read with the built-in endpoint; one given here must not be lost.
    options.endpoint = "http://127.0.0.1:9";
    std::optional<PluginConfig> redirected = prepare_sender_config(options, &error);
    ASSERT_TRUE(redirected) << error;
    EXPECT_EQ(redirected->api_endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(redirected->stream_id, "linked");
}

TEST_F(SenderConfigTest, ConfigurationsThatCannotDeliverAreRefusedWithTheReadersWords) {
    const std::string disabled = write_file("disabled.json", R"({"enabled": false})");
    const std::string broken = write_file("broken.json", "{");
    SendOptions missing_default;
    SendOptions without_credentials;
    without_credentials.config_path = disabled;
    SendOptions unreadable;
    unreadable.config_path = broken;
    SendOptions bad_agent;
    bad_agent.stream_id = "s";
    bad_agent.api_key = "k";
    bad_agent.agent = "third";
    SendOptions without_key;
    without_key.stream_id = "s";

    const std::vector<std::pair<SendOptions, std::string>> cases = {
        {missing_default, "config file not found: " + default_config_path()},
        // The plug-in lets a disabled configuration go without credentials.
        {without_credentials, "invalid configuration: stream_id is required"},
        {unreadable, broken + ": invalid config JSON"},
        {bad_agent, "invalid configuration: agent_id must be primary or backup"},
        {without_key, "invalid configuration: api_key is required"},
    };
    for (const auto& [options, message] : cases) {
        std::string error;
        EXPECT_FALSE(prepare_sender_config(options, &error)) << message;
        EXPECT_EQ(error, message);
    }
}

}  // namespace
}  // namespace ryvoobs

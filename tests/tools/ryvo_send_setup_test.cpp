#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "isolated_home.h"
#include "send_options.h"
#include "sender_config.h"

namespace ryvoobs {
namespace {

std::optional<SendOptions> parse(std::vector<const char*> arguments, const char* env_key = nullptr,
                                 std::string* error = nullptr) {
    return parse_send_options(arguments, env_key, error);
}

TEST(SendOptionsTest, ValuesComeInEitherSpellingAndTheFileMayStandAnywhere) {
    const auto options = parse({"--stream-id=abc", "--fast", "clip.mp4", "--api-key", "k", "--loop",
                                "3", "--segment-ms=500", "-q", "--state", "s.json",
                                "--config=c.json", "--endpoint", "http://h", "--agent", "backup"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->media_path, "clip.mp4");
    EXPECT_EQ(options->stream_id, "abc");
    EXPECT_EQ(options->api_key, "k");
    EXPECT_EQ(options->loops, 3);
    EXPECT_EQ(options->segment_ms, 500);
    EXPECT_EQ(options->state_path, "s.json");
    EXPECT_EQ(options->config_path, "c.json");
    EXPECT_EQ(options->endpoint, "http://h");
    EXPECT_EQ(options->agent, "backup");
    EXPECT_TRUE(options->fast);
    EXPECT_TRUE(options->quiet);

    EXPECT_EQ(parse({"--fast", "--", "-odd name.mp4"})->media_path, "-odd name.mp4");
    EXPECT_TRUE(parse({"--help"})->help);
}

TEST(SendOptionsTest, TheEnvironmentKeyStandsInOnlyForAMissingFlag) {
    const auto from_env = parse({"clip.mp4"}, "env-key");
    EXPECT_EQ(from_env->api_key, "env-key");
    // A key is a setting of its own, so the configuration file is no longer used as it stands.
    EXPECT_TRUE(from_env->overrides_configuration());
    EXPECT_EQ(parse({"--api-key", "flag-key", "clip.mp4"}, "env-key")->api_key, "flag-key");
    const auto empty_env = parse({"--config", "c.json", "--fast", "clip.mp4"}, "");
    EXPECT_FALSE(empty_env->api_key);
    EXPECT_FALSE(empty_env->overrides_configuration());
}

TEST(SendOptionsTest, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{}, "no media file given"},
        {{"a.mp4", "b.mp4"}, "only one media file"},
        {{"clip.mp4", "--config"}, "--config needs a value"},
        {{"clip.mp4", "--loop", "0"}, "--loop needs a whole number of at least 1, not '0'"},
        {{"clip.mp4", "--loop", "2x"}, "--loop needs a whole number"},
        {{"clip.mp4", "--segment-ms", "99999999999"}, "--segment-ms needs a whole number"},
        {{"clip.mp4", "--fast=yes"}, "--fast takes no value"},
        {{"clip.mp4", "--stream"}, "unknown option --stream"},
    };
    for (const auto& [arguments, message] : cases) {
        std::string error;
        EXPECT_FALSE(parse(arguments, nullptr, &error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(SenderConfigTest, FlagsMakeOrAmendTheConfigurationAndAnEndpointOfTheUsersOwnIsKept) {
    const testing::IsolatedHome home;
    SendOptions options;
    options.stream_id = " [abc] ";
    options.api_key = "secret";
    options.endpoint = "http://127.0.0.1:9/";
    options.segment_ms = 500;
    std::string error;
    const std::optional<PluginConfig> manual = prepare_sender_config(options, &error);
    ASSERT_TRUE(manual) << error;
    EXPECT_EQ(manual->stream_id, "abc");
    EXPECT_EQ(manual->api_key, "secret");
    EXPECT_EQ(manual->api_endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(manual->segment_duration_ms, 500);
    EXPECT_EQ(manual->auth_mode, AuthMode::manual);

    // A portal-linked file is read with the built-in endpoint; one given here must not be lost.
    std::ofstream(home.file("linked.json"))
        << R"({"auth_mode": "portal", "stream_id": "linked", "api_key": "k", "agent_id": "backup"})";
    options = SendOptions{};
    options.config_path = home.file("linked.json");
    options.endpoint = "http://127.0.0.1:9";
    const std::optional<PluginConfig> amended = prepare_sender_config(options, &error);
    ASSERT_TRUE(amended) << error;
    EXPECT_EQ(amended->stream_id, "linked");
    EXPECT_EQ(amended->api_key, "k");
    EXPECT_EQ(amended->agent_id, "backup");
    EXPECT_EQ(amended->api_endpoint, "http://127.0.0.1:9");

    // The plug-in lets a disabled configuration go without credentials; a sender does not.
    std::ofstream(home.file("disabled.json")) << R"({"enabled": false})";
    options = SendOptions{};
    options.config_path = home.file("disabled.json");
    EXPECT_FALSE(prepare_sender_config(options, &error));
    EXPECT_EQ(error, "invalid configuration: stream_id is required");
    EXPECT_FALSE(prepare_sender_config(SendOptions{}, &error));
    EXPECT_EQ(error, "config file not found: " + default_config_path());
}

}  // namespace
}  // namespace ryvoobs

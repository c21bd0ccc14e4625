#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "send_options.h"

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
}

TEST(SendOptionsTest, TheEnvironmentKeyStandsInOnlyForAMissingFlag) {
    const auto from_env = parse({"clip.mp4"}, "env-key");
    ASSERT_TRUE(from_env);
    EXPECT_EQ(from_env->api_key, "env-key");
    // A key is a setting of its own, so the configuration file is no longer used as it stands.
    EXPECT_TRUE(from_env->overrides_configuration());

    const auto from_flag = parse({"--api-key", "flag-key", "clip.mp4"}, "env-key");
    ASSERT_TRUE(from_flag);
    EXPECT_EQ(from_flag->api_key, "flag-key");

    const auto empty_env = parse({"--config", "c.json", "--fast", "clip.mp4"}, "");
    ASSERT_TRUE(empty_env);
    EXPECT_FALSE(empty_env->api_key);
    EXPECT_FALSE(empty_env->overrides_configuration());
}

TEST(SendOptionsTest, ADoubleDashEndsTheOptionsAndHelpNeedsNoFile) {
    const auto odd = parse({"--fast", "--", "-odd name.mp4"});
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->media_path, "-odd name.mp4");
    const auto help = parse({"--help"});
    ASSERT_TRUE(help);
    EXPECT_TRUE(help->help);
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

}  // namespace
}  // namespace ryvoobs

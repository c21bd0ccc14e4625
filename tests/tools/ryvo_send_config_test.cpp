#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/config_file.h"
#include "isolated_home.h"
#include "sender_config.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using testing::IsolatedHome;
using testing::TemporaryDirectory;

// Points TMPDIR at a directory of the test's own, where the private copies go.
class SenderConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("TMPDIR", tmp_.path().c_str(), 1); }
    void TearDown() override { unsetenv("TMPDIR"); }

    bool tmp_is_empty() const { return std::filesystem::is_empty(tmp_.path()); }

    std::string write_file(const std::string& name, const std::string& text) const {
        const std::string path = home_.file(name);
        std::ofstream(path) << text;
        return path;
    }

    static unsigned mode_of(const std::string& path) {
        struct stat status {};
        EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 0777u;
    }

    IsolatedHome home_;
    TemporaryDirectory tmp_;
};

TEST_F(SenderConfigTest, FlagsAloneGoToAnOwnerOnlyCopyThatLeavesWithTheObject) {
    SendOptions options;
    options.stream_id = " [abc] ";
    options.api_key = "secret";
    options.endpoint = "http://127.0.0.1:9/";
    options.segment_ms = 500;
    std::string path;
    {
        std::string error;
        std::optional<SenderConfig> config = SenderConfig::prepare(options, &error);
        ASSERT_TRUE(config) << error;
        path = config->path();
        EXPECT_EQ(path.rfind(getenv("TMPDIR"), 0), 0u) << path;
        EXPECT_EQ(mode_of(path), 0600u);
        EXPECT_EQ(mode_of(std::filesystem::path(path).parent_path()), 0700u);

        // What the runtime will read back.
        const std::optional<PluginConfig> loaded = load_config_file(path, &error);
        ASSERT_TRUE(loaded) << error;
        EXPECT_EQ(loaded->stream_id, "abc");
        EXPECT_EQ(loaded->api_key, "secret");
        EXPECT_EQ(loaded->api_endpoint, "http://127.0.0.1:9");
        EXPECT_EQ(loaded->segment_duration_ms, 500);
        EXPECT_EQ(loaded->auth_mode, AuthMode::manual);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(tmp_is_empty());
}

TEST_F(SenderConfigTest, FlagsAmendACopyOfTheFileAndAnEndpointOfTheUsersOwnSurvivesTheReread) {
    const std::string file = write_file(
        "linked.json",
        R"({"auth_mode": "portal", "stream_id": "linked", "api_key": "k", "agent_id": "backup"})");
    SendOptions options;
    options.config_path = file;
    std::string error;
    // Without overrides the file is used where it is.
    const std::optional<SenderConfig> as_is = SenderConfig::prepare(options, &error);
    ASSERT_TRUE(as_is) << error;
    EXPECT_EQ(as_is->path(), file);
    EXPECT_TRUE(tmp_is_empty());

    options.segment_ms = 4000;
    std::optional<SenderConfig> amended = SenderConfig::prepare(options, &error);
    ASSERT_TRUE(amended) << error;
    std::optional<PluginConfig> loaded = load_config_file(amended->path(), &error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->stream_id, "linked");
    EXPECT_EQ(loaded->api_key, "k");
    EXPECT_EQ(loaded->agent_id, "backup");
    EXPECT_EQ(loaded->segment_duration_ms, 4000);

    // A portal-linked file is read with the built-in endpoint; one given here must not be lost.
    options.endpoint = "http://127.0.0.1:9";
    std::optional<SenderConfig> redirected = SenderConfig::prepare(options, &error);
    ASSERT_TRUE(redirected) << error;
    loaded = load_config_file(redirected->path(), &error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->api_endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(loaded->stream_id, "linked");
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
        EXPECT_FALSE(SenderConfig::prepare(options, &error)) << message;
        EXPECT_EQ(error, message);
    }
    EXPECT_TRUE(tmp_is_empty());
}

}  // namespace
}  // namespace ryvoobs

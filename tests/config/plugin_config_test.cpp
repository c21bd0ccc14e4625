#include "config/plugin_config.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

using Messages = std::vector<std::string>;
constexpr const char* kRamRule = "ram_buffer_minutes must be between 1 and 15";
constexpr const char* kPortalRule = "portal mode requires both stream_id and api_key when linked";

TEST(PluginConfigValidate, ReportsEveryBrokenRuleInRuleOrderAndCredentialsOnlyWhenEnabled) {
    PluginConfig config;
    EXPECT_TRUE(config.validate().empty());
    config.auth_mode = AuthMode::manual;
    config.segment_duration_ms = 0;
    config.ram_buffer_minutes = 0;
    config.agent_id = "Primary";
    EXPECT_EQ(config.validate(), (Messages{"stream_id is required", "api_key is required",
                                           "segment_duration_ms must be positive", kRamRule,
                                           "agent_id must be primary or backup"}));
    config = PluginConfig{};
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    EXPECT_TRUE(config.validate().empty());
}

TEST(PluginConfigValidate, PortalNeedsBothOrNeitherCredentialAndTheBufferBoundsAreInclusive) {
    PluginConfig config;
    config.stream_id = "abc";
    EXPECT_EQ(config.validate(), Messages{kPortalRule});
    config.stream_id.clear();
    config.api_key = "key";
    EXPECT_EQ(config.validate(), Messages{kPortalRule});
    config.stream_id = "abc";
    for (const auto& [minutes, expected] :
         {std::pair{1, Messages{}}, {15, Messages{}}, {16, Messages{kRamRule}}}) {
        config.ram_buffer_minutes = minutes;
        EXPECT_EQ(config.validate(), expected) << minutes;
    }
}

TEST(PluginConfigValidate, PlainHttpEndpointOnlyToThisMachine) {
    const auto messages = [](const char* endpoint) {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = "s";
        config.api_key = "k";
        config.api_endpoint = endpoint;
        return config.validate();
    };
    for (const char* local : {"HTTPS://ingest.invalid", "http://127.255.0.9/path?q#f",
                              "http://[0:0:0:0:0:0:0:1]", "HTTP://LocalHost"}) {
        EXPECT_EQ(messages(local), Messages{}) << local;
    }
    for (const char* remote :
         {"Http://ingest.invalid:80", "http://128.0.0.1", "http://localhost.ingest.invalid",
          "http://127.1", "http://[::2]", "http://[::1", "http://127.0.0.1@ingest.invalid",
          "http://ingest.invalid\\@127.0.0.1", "http://127.0.0.1:80x", "http:ingest.invalid"}) {
        EXPECT_EQ(messages(remote), Messages{kClearTextEndpointMessage}) << remote;
    }
    // Not this rule's business: the HTTP layer refuses what it cannot use.
    EXPECT_FALSE(sends_key_in_clear_text("ftp://ingest.invalid"));
}

TEST(NormalizeStreamId, StripsPastingDebrisButNothingInside) {
    for (const auto& [pasted, id] : {std::pair{"'{abc}'", "abc"},
                                     {"a b", "a b"},
                                     {"(((", ""},
                                     {"Id.With.Dots.", "Id.With.Dots"}}) {
        EXPECT_EQ(normalize_stream_id(pasted), id) << pasted;
    }
}

}  // namespace
}  // namespace ryvoobs

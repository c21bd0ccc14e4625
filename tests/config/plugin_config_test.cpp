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
    for (const auto& [minutes, expected] : {std::pair{1, Messages{}},
                                            {15, Messages{}},
                                            {16, Messages{kRamRule}},
                                            {-1, Messages{kRamRule}}}) {
        config.ram_buffer_minutes = minutes;
        EXPECT_EQ(config.validate(), expected) << minutes;
    }
}

TEST(PluginConfigValidate, PlainHttpEndpointOnlyToThisMachine) {
    struct Case {
        const char* endpoint;
        bool refused;
    };
    for (const Case& c : {Case{"https://ingest.invalid", false},
                          Case{"HTTPS://ingest.invalid", false},
                          Case{"http://127.0.0.1:8080", false},
                          Case{"http://127.255.0.9/path?q#f", false},
                          Case{"http://[::1]:9", false},
                          Case{"http://[0:0:0:0:0:0:0:1]", false},
                          Case{"HTTP://LocalHost", false},
                          Case{"http://ingest.invalid", true},
                          Case{"Http://ingest.invalid:80", true},
                          Case{"http://128.0.0.1", true},
                          Case{"http://127.0.0.1.ingest.invalid", true},
                          Case{"http://localhost.ingest.invalid", true},
                          Case{"http://127.1", true},
                          Case{"http://[::2]", true},
                          Case{"http://[::1", true},
                          Case{"http://127.0.0.1@ingest.invalid", true},
                          Case{"http://ingest.invalid\\@127.0.0.1", true},
                          Case{"http://127.0.0.1:80x", true},
                          Case{"http:ingest.invalid", true},
                          Case{"http://", true}}) {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = "s";
        config.api_key = "k";
        config.api_endpoint = c.endpoint;
        EXPECT_EQ(config.validate(), c.refused ? Messages{kClearTextEndpointMessage} : Messages{})
            << c.endpoint;
    }
    // Not this rule's business: the HTTP layer refuses what it cannot use.
    EXPECT_FALSE(sends_key_in_clear_text("ftp://ingest.invalid"));
    EXPECT_FALSE(sends_key_in_clear_text(""));
}

TEST(NormalizeStreamId, StripsPastingDebrisButNothingInside) {
    for (const auto& [pasted, id] : {std::pair{"  \"abc-123\",  ", "abc-123"},
                                     {"[ x ]", "x"},
                                     {"'{abc}'", "abc"},
                                     {"a b", "a b"},
                                     {" \t\r\n", ""},
                                     {"(((", ""},
                                     {"Id.With.Dots.", "Id.With.Dots"}}) {
        EXPECT_EQ(normalize_stream_id(pasted), id) << pasted;
    }
}

}  // namespace
}  // namespace ryvoobs

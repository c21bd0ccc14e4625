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

TEST(PluginConfigText, UnknownValuesReadAsTheDefaultAndParsingIsExact) {
    EXPECT_STREQ(to_string(static_cast<RuntimeMode>(7)), "tap_only");
    EXPECT_STREQ(to_string(static_cast<CaptureMode>(-1)), "streaming");
    EXPECT_STREQ(to_string(AuthMode::manual), "manual");
    CaptureMode mode = CaptureMode::recording;
    EXPECT_FALSE(parse_capture_mode("Either", &mode));
    EXPECT_EQ(mode, CaptureMode::recording) << "a refused text leaves the output alone";
    EXPECT_TRUE(parse_capture_mode("either", &mode));
    EXPECT_EQ(mode, CaptureMode::either);
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

#include "config/plugin_config.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

using Messages = std::vector<std::string>;

TEST(PluginConfigValidate, DefaultConfigurationIsValid) { EXPECT_TRUE(PluginConfig{}.validate().empty()); }

TEST(PluginConfigValidate, ReportsEveryBrokenRuleInRuleOrder) {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.ram_buffer_minutes = 0;
    config.agent_id = "Primary";
    EXPECT_EQ(config.validate(),
              (Messages{"stream_id is required", "api_key is required",
                        "ram_buffer_minutes must be between 1 and 15",
                        "agent_id must be primary or backup"}));
}

TEST(PluginConfigValidate, CredentialRulesApplyOnlyWhenEnabled) {
    PluginConfig config;
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    config.segment_duration_ms = 0;
    EXPECT_EQ(config.validate(), Messages{"segment_duration_ms must be positive"});
}

TEST(PluginConfigValidate, PortalNeedsBothOrNeitherCredential) {
    PluginConfig config;
    config.stream_id = "abc";
    EXPECT_EQ(config.validate(),
              Messages{"portal mode requires both stream_id and api_key when linked"});
    config.stream_id.clear();
    config.api_key = "key";
    EXPECT_EQ(config.validate(),
              Messages{"portal mode requires both stream_id and api_key when linked"});
    config.stream_id = "abc";
    EXPECT_TRUE(config.validate().empty());
}

TEST(PluginConfigValidate, RamBufferBoundsAreInclusive) {
    PluginConfig config;
    for (int minutes : {1, 15}) {
        config.ram_buffer_minutes = minutes;
        EXPECT_TRUE(config.validate().empty()) << minutes;
    }
    for (int minutes : {16, -1}) {
        config.ram_buffer_minutes = minutes;
        EXPECT_EQ(config.validate(), Messages{"ram_buffer_minutes must be between 1 and 15"})
            << minutes;
    }
}

TEST(PluginConfigText, EnumTextsFollowTheValueRule) {
    EXPECT_STREQ(to_string(RuntimeMode::full), "full");
    EXPECT_STREQ(to_string(static_cast<RuntimeMode>(7)), "tap_only");
    EXPECT_STREQ(to_string(static_cast<CaptureMode>(-1)), "streaming");
    EXPECT_STREQ(to_string(CaptureMode::either), "either");
    EXPECT_STREQ(to_string(AuthMode::manual), "manual");
    EXPECT_STREQ(to_string(AuthMode::portal), "portal");
}

TEST(PluginConfigText, ParseCaptureModeIsExactAndLeavesOutputOnFailure) {
    CaptureMode mode = CaptureMode::recording;
    EXPECT_FALSE(parse_capture_mode("Either", &mode));
    EXPECT_FALSE(parse_capture_mode(" either", &mode));
    EXPECT_EQ(mode, CaptureMode::recording);
    EXPECT_TRUE(parse_capture_mode("either", &mode));
    EXPECT_EQ(mode, CaptureMode::either);
}

TEST(NormalizeStreamId, StripsPastingDebrisButNothingInside) {
    EXPECT_EQ(normalize_stream_id("  \"abc-123\",  "), "abc-123");
    EXPECT_EQ(normalize_stream_id("[ x ]"), "x");
    EXPECT_EQ(normalize_stream_id("'{abc}'"), "abc");
    EXPECT_EQ(normalize_stream_id("a b"), "a b");
    EXPECT_EQ(normalize_stream_id(""), "");
    EXPECT_EQ(normalize_stream_id(" \t\r\n"), "");
    EXPECT_EQ(normalize_stream_id("((("), "");
    EXPECT_EQ(normalize_stream_id("Id.With.Dots."), "Id.With.Dots");
}

}  // namespace
}  // namespace ryvoobs

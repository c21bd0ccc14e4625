#include "link/plugin_link_apply.h"

#include <gtest/gtest.h>

#include "scoped_env.h"

namespace ryvoobs {
namespace {

PollPluginLinkResponse completed() {
    return {"completed",    "ana@example.com", "Ana",      "stream-9",
            "Evening show", "secret",          "key-id-1", "https://elsewhere.example"};
}

PluginConfig pending_manual_config() {
    PluginConfig config;
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    config.capture_mode = CaptureMode::either;
    config.api_endpoint = "https://old.example";
    config.portal_link_session_id = config.portal_link_verification_code = "x";
    config.portal_link_verification_url = config.portal_link_poll_token = "x";
    config.portal_link_expires_at = "x";
    return config;
}

TEST(PluginLinkApplyTest, CompletedLinkBecomesThePortalConfigurationOnTheDefaultEndpoint) {
    const testing::ScopedEnv endpoint("RYVO_DEFAULT_API_ENDPOINT", "https://default.example");
    PluginConfig config = pending_manual_config();
    ASSERT_TRUE(apply_completed_plugin_link(&config, completed()));

    PluginConfig expected;  // pending fields empty
    expected.enabled = false;
    expected.capture_mode = CaptureMode::either;
    expected.auth_mode = AuthMode::portal;
    expected.stream_id = "stream-9";
    expected.selected_stream_name = "Evening show";
    expected.linked_account_email = "ana@example.com";
    expected.linked_account_name = "Ana";
    expected.api_key = "secret";
    expected.api_key_id = "key-id-1";
    expected.api_endpoint = "https://default.example";
    expected.runtime_mode = RuntimeMode::full;
    EXPECT_EQ(config, expected);
}

TEST(PluginLinkApplyTest, AnythingShortOfACompletedLinkWithCredentialsChangesNothing) {
    EXPECT_FALSE(apply_completed_plugin_link(nullptr, completed()));
    std::vector<PollPluginLinkResponse> refused(4, completed());
    refused[0].status = "Completed";
    refused[1].selected_stream_id.clear();
    refused[2].api_key.clear();
    refused[3].api_key_id.clear();
    for (const PollPluginLinkResponse& response : refused) {
        PluginConfig config = pending_manual_config();
        EXPECT_FALSE(apply_completed_plugin_link(&config, response));
        EXPECT_EQ(config, pending_manual_config());
    }
}

}  // namespace
}  // namespace ryvoobs

#include "link/plugin_link_apply.h"

#include <gtest/gtest.h>

#include "scoped_env.h"

namespace ryvoobs {
namespace {

PollPluginLinkResponse completed() {
    PollPluginLinkResponse response;
    response.status = "completed";
    response.linked_account_email = "ana@example.com";
    response.linked_account_name = "Ana";
    response.selected_stream_id = "stream-9";
    response.selected_stream_name = "Evening show";
    response.api_key = "secret-key";
    response.api_key_id = "key-id-1";
    response.api_endpoint = "https://elsewhere.example";
    return response;
}

PluginConfig pending_manual_config() {
    PluginConfig config;
    config.enabled = false;
    config.auth_mode = AuthMode::manual;
    config.capture_mode = CaptureMode::either;
    config.api_endpoint = "https://old.example";
    config.stream_id = "old-stream";
    config.api_key = "old-key";
    config.portal_link_session_id = "session";
    config.portal_link_verification_code = "ABCD-EFGH";
    config.portal_link_verification_url = "https://portal.example/link";
    config.portal_link_poll_token = "token";
    config.portal_link_expires_at = "2030-01-01T00:00:00Z";
    return config;
}

TEST(PluginLinkApplyTest, CompletedLinkBecomesThePortalConfigurationOnTheDefaultEndpoint) {
    const testing::ScopedEnv endpoint("RYVO_DEFAULT_API_ENDPOINT", "https://default.example");
    PluginConfig config = pending_manual_config();
    ASSERT_TRUE(apply_completed_plugin_link(&config, completed()));

    PluginConfig expected = pending_manual_config();
    expected.auth_mode = AuthMode::portal;
    expected.stream_id = "stream-9";
    expected.selected_stream_name = "Evening show";
    expected.linked_account_email = "ana@example.com";
    expected.linked_account_name = "Ana";
    expected.api_key = "secret-key";
    expected.api_key_id = "key-id-1";
    expected.api_endpoint = "https://default.example";
    expected.runtime_mode = RuntimeMode::full;
    expected.portal_link_session_id.clear();
    expected.portal_link_verification_code.clear();
    expected.portal_link_verification_url.clear();
    expected.portal_link_poll_token.clear();
    expected.portal_link_expires_at.clear();
    EXPECT_EQ(config, expected);
}

TEST(PluginLinkApplyTest, AnythingShortOfACompletedLinkWithCredentialsChangesNothing) {
    EXPECT_FALSE(apply_completed_plugin_link(nullptr, completed()));

    std::vector<PollPluginLinkResponse> refused(5, completed());
    refused[0].status = "Completed";
    refused[1].status = "pending";
    refused[2].selected_stream_id.clear();
    refused[3].api_key.clear();
    refused[4].api_key_id.clear();
    for (const PollPluginLinkResponse& response : refused) {
        PluginConfig config = pending_manual_config();
        EXPECT_FALSE(apply_completed_plugin_link(&config, response)) << response.status;
        EXPECT_EQ(config, pending_manual_config());
    }
}

}  // namespace
}  // namespace ryvoobs

#include "link/plugin_link_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/curl_ryvo_api.h"
#include "dev_server_process.h"
#include "link/plugin_link_apply.h"
#include "runtime/sha256.h"
#include "scoped_env.h"

namespace ryvoobs {
namespace {

using nlohmann::json;

test_support::DevServerOptions two_streams() {
    test_support::DevServerOptions options;
    options.streams = {{"stream-1", "key-1"}, {"stream-2", "key-2"}};
    return options;
}

class PluginLinkClientTest : public ::testing::Test {
  protected:
    // The server's next link request of `kind` (start, poll, cancel) gets this answer instead.
    void answer_next(const std::string& kind, int status, const json& body) {
        server_.control("faults", {{"kind", "link_" + kind}, {"status", status}, {"body", body}});
    }

    StartPluginLinkResponse start() {
        std::string error;
        auto link = start_plugin_link(server_.base_url() + "///", &error, nullptr);
        EXPECT_TRUE(link) << error;
        return link.value_or(StartPluginLinkResponse{});
    }

    std::optional<PollPluginLinkResponse> poll(const StartPluginLinkResponse& link,
                                               std::string* error, std::int32_t* status) {
        return poll_plugin_link(server_.base_url(), link.link_session_id, link.poll_token, error,
                                status);
    }

    test_support::DevServerProcess server_{two_streams()};
};

TEST_F(PluginLinkClientTest, StartNeedsSessionPageAndTokenButNotTheCode) {
    const json answer{{"link_session_id", "s"},
                      {"verification_url", "https://portal.example/link"},
                      {"poll_token", "t"},
                      {"verification_code", nullptr}};
    answer_next("start", 200, answer);
    std::string error = "stale";
    const auto codeless = start_plugin_link(server_.base_url() + "/", &error, nullptr);
    ASSERT_TRUE(codeless) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(codeless->verification_code, "");

    for (const char* required : {"link_session_id", "verification_url", "poll_token"}) {
        json incomplete = answer;
        incomplete[required] = "";
        answer_next("start", 200, incomplete);
        std::int32_t status = 0;
        EXPECT_FALSE(start_plugin_link(server_.base_url(), &error, &status)) << required;
        EXPECT_EQ(error, "plugin link response was missing required fields");
        EXPECT_EQ(status, 200);
    }
}

TEST_F(PluginLinkClientTest, ApprovedLinkYieldsAKeyTheIngestSideAccepts) {
    const StartPluginLinkResponse link = start();
    EXPECT_EQ(link.verification_url, server_.base_url() + "/link?code=" + link.verification_code);
    const std::string endpoint = server_.base_url() + "/";
    std::string error = "stale";
    auto pending =
        poll_plugin_link(endpoint, link.link_session_id, link.poll_token, &error, nullptr);
    ASSERT_TRUE(pending) << error;
    EXPECT_EQ(pending->status, "pending");
    EXPECT_EQ(pending->api_endpoint, endpoint);
    EXPECT_EQ(error, "");

    server_.control(
        "link", {{"action", "approve"}, {"code", link.verification_code}, {"stream", "stream-2"}});
    const auto done = poll(link, &error, nullptr);
    ASSERT_TRUE(done) << error;
    EXPECT_EQ(done->status, "completed");
    EXPECT_EQ(done->selected_stream_id, "stream-2");

    // The applied configuration points at the default endpoint, here this server.
    const testing::ScopedEnv default_endpoint("RYVO_DEFAULT_API_ENDPOINT", server_.base_url());
    PluginConfig config;
    ASSERT_TRUE(apply_completed_plugin_link(&config, *done));
    SegmentData segment;
    segment.bytes = std::make_shared<const SegmentBytes>(SegmentBytes(188, 0x47));
    segment.sha256 = sha256_hex(*segment.bytes);
    const UploadResult upload = CurlRyvoApi(config).upload_segment(segment);
    EXPECT_EQ(upload.http_status, 201) << upload.error;

    // A stream ID that is not a string leaves a completed answer unusable.
    answer_next("poll", 200,
                {{"status", "completed"},
                 {"selected_stream_id", 42},
                 {"api_key", "k"},
                 {"api_key_id", "i"}});
    const auto numeric = poll(link, &error, nullptr);
    ASSERT_TRUE(numeric) << error;
    EXPECT_EQ(numeric->selected_stream_id, "");
    EXPECT_FALSE(apply_completed_plugin_link(&config, *numeric));
}

TEST_F(PluginLinkClientTest, FailedAnswersReportTheirMessageAndStatus) {
    const StartPluginLinkResponse link = start();
    struct Case {
        int status;
        json body;
        std::string error;
    };
    const std::vector<Case> cases{
        {401, {{"error", "poll token expired"}}, "poll token expired"},
        {404, "", "empty response body"},
        {200, "[]", "invalid JSON response"},
        {502, "<html>Bad Gateway</html>", "invalid JSON response"},
        {409, R"({"error":7})", R"({"error":7})"},
        // An empty reason says nothing, so the answer itself is shown.
        {401, R"({"error":""})", R"({"error":""})"},
        {200, {{"status", nullptr}}, "plugin link poll response was missing status"},
    };
    std::string error;
    std::int32_t status = -1;
    for (const Case& c : cases) {
        answer_next("poll", c.status, c.body);
        EXPECT_FALSE(poll(link, &error, &status)) << c.error;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(status, c.status);
    }
    for (const auto& [endpoint, message] : {std::pair<std::string, std::string>{"", "invalid URL"},
                                            {"http://portal.invalid", kClearTextEndpointMessage}}) {
        EXPECT_FALSE(poll_plugin_link(endpoint, "id", "t", &error, &status));
        EXPECT_EQ(error, message);
        EXPECT_EQ(status, 0);
    }

    server_.control("faults", {{"kind", "link_poll"}, {"action", "drop"}});
    status = -1;
    EXPECT_FALSE(poll(link, &error, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(error, "");
    EXPECT_NE(error, "empty response body");  // the library's own description

    server_.control("link", {{"action", "reject_polls"}, {"code", link.verification_code}});
    EXPECT_FALSE(poll(link, &error, &status));
    EXPECT_EQ(status, 401);
    EXPECT_EQ(error, "unauthorized");
}

TEST_F(PluginLinkClientTest, CancelSucceedsOnlyWithAJsonAnswer) {
    const StartPluginLinkResponse link = start();
    std::string error = "stale";
    EXPECT_TRUE(cancel_plugin_link(server_.base_url(), link.link_session_id, link.poll_token,
                                   &error, nullptr));
    EXPECT_EQ(error, "");
    EXPECT_EQ(poll(link, &error, nullptr)->status, "cancelled");

    answer_next("cancel", 204, "");
    std::int32_t status = 0;
    EXPECT_FALSE(cancel_plugin_link(server_.base_url(), link.link_session_id, link.poll_token,
                                    &error, &status));
    EXPECT_EQ(error, "empty response body");
    EXPECT_EQ(status, 204);
}

}  // namespace
}  // namespace ryvoobs

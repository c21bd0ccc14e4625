#include "link/plugin_link_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dev_server_process.h"
#include "link/plugin_link_apply.h"
#include "scoped_env.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;

class PluginLinkClientTest : public ::testing::Test {
  protected:
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

    test_support::DevServerProcess server_;
};

TEST_F(PluginLinkClientTest, StartAndPollReadThePortalsAnswers) {
    const StartPluginLinkResponse link = start();
    const std::string endpoint = server_.base_url() + "/";
    std::string error = "stale";
    auto pending =
        poll_plugin_link(endpoint, link.link_session_id, link.poll_token, &error, nullptr);
    ASSERT_TRUE(pending) << error;
    EXPECT_EQ(pending->status, "pending");
    EXPECT_EQ(pending->api_endpoint, endpoint);
    EXPECT_EQ(error, "");

    server_.control(
        "link", {{"action", "approve"}, {"code", link.verification_code}, {"stream", "stream-1"}});
    const auto done = poll(link, &error, nullptr);
    ASSERT_TRUE(done) << error;
    EXPECT_EQ(done->status, "completed");
    EXPECT_EQ(done->selected_stream_id, "stream-1");
    // Applied, it is a portal configuration on the default endpoint.
    const testing::ScopedEnv default_endpoint("RYVO_DEFAULT_API_ENDPOINT",
                                              "https://default.example");
    PluginConfig config;
    ASSERT_TRUE(apply_completed_plugin_link(&config, *done));
    EXPECT_EQ(config.api_endpoint, "https://default.example");
    EXPECT_EQ(config.auth_mode, AuthMode::portal);
    EXPECT_EQ(config.api_key, done->api_key);

    // A stream ID that is not a string is no stream ID; a start answer needs no code.
    answer_next("poll", 200, {{"status", "completed"}, {"selected_stream_id", 42}});
    EXPECT_EQ(poll(link, &error, nullptr).value().selected_stream_id, "");
    answer_next("start", 200,
                {{"link_session_id", "s"},
                 {"verification_url", "https://portal.example/link"},
                 {"poll_token", "t"},
                 {"verification_code", nullptr}});
    EXPECT_EQ(start().verification_code, "");
}

TEST_F(PluginLinkClientTest, FailedAnswersReportTheirMessageAndStatus) {
    const StartPluginLinkResponse link = start();
    const std::vector<std::tuple<int, json, std::string>> cases{
        {401, {{"error", "poll token expired"}}, "poll token expired"},
        {200, "[]", "invalid JSON response"},
        {409, R"({"error":7})", R"({"error":7})"},
        // An empty reason says nothing, so the answer itself is shown.
        {401, R"({"error":""})", R"({"error":""})"},
        {200, {{"status", nullptr}}, "plugin link poll response was missing status"},
    };
    std::string error;
    std::int32_t status = -1;
    for (const auto& [code, body, message] : cases) {
        answer_next("poll", code, body);
        EXPECT_FALSE(poll(link, &error, &status)) << message;
        EXPECT_EQ(error, message);
        EXPECT_EQ(status, code);
    }
}

TEST_F(PluginLinkClientTest, CancelFailsWithoutAJsonAnswer) {
    const StartPluginLinkResponse link = start();
    answer_next("cancel", 204, "");
    std::string error;
    std::int32_t status = 0;
    EXPECT_FALSE(cancel_plugin_link(server_.base_url(), link.link_session_id, link.poll_token,
                                    &error, &status));
    EXPECT_EQ(error, "empty response body");
    EXPECT_EQ(status, 204);
}

PollPluginLinkResponse completed() {
    return {"completed",    "ana@example.com", "Ana",      "stream-9",
            "Evening show", "secret",          "key-id-1", "https://elsewhere.example"};
}

TEST(PluginLinkApplyTest, AnythingShortOfACompletedLinkWithCredentialsChangesNothing) {
    PluginConfig pending;
    pending.portal_link_session_id = "x";
    EXPECT_FALSE(apply_completed_plugin_link(nullptr, completed()));
    std::vector<PollPluginLinkResponse> refused(4, completed());
    refused[0].status = "Completed";
    refused[1].selected_stream_id.clear();
    refused[2].api_key.clear();
    refused[3].api_key_id.clear();
    for (const PollPluginLinkResponse& response : refused) {
        PluginConfig config = pending;
        EXPECT_FALSE(apply_completed_plugin_link(&config, response));
        EXPECT_EQ(config, pending);
    }
}

TEST(BrowserTest, OnlyWebPagesReachTheOpenerEachAsOneArgumentAndItsFailureIsReported) {
    const testing::TemporaryDirectory folder;
    const testing::ScopedEnv path("PATH", folder.path());
    const std::string record = folder.file("argv.txt");
    const auto install_opener = [&](int exit_code) {
        std::ofstream(folder.file("xdg-open"))
            << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << record
            << "'\nexit " << exit_code << "\n";
        chmod(folder.file("xdg-open").c_str(), 0755);
    };
    const std::string url = "https://portal.example/link?code=AB;touch%20x&next=$(id)|y";
    std::string error;
    install_opener(1);
    EXPECT_FALSE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "failed to open Ryvo Portal in the default browser");

    install_opener(0);
    std::filesystem::remove(record);
    for (const char* bad : {"not a url", "file:///etc/passwd", "--help"}) {
        EXPECT_FALSE(open_url_in_browser(bad, &error)) << bad;
        EXPECT_EQ(error, "invalid portal URL") << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_TRUE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "invalid portal URL");  // untouched on success
    std::ifstream recorded(record);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(recorded), {}), url + "\n");
}

}  // namespace
}  // namespace ryvoobs

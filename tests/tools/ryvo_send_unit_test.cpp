#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "config/config_file.h"
#include "delivery_tally.h"
#include "isolated_home.h"
#include "progress_display.h"
#include "send_options.h"
#include "sender_config.h"

namespace ryvoobs {
namespace {

std::optional<SendOptions> parse(std::vector<const char*> arguments, const char* env_key = nullptr,
                                 std::string* error = nullptr) {
    return parse_send_options(arguments, env_key, error);
}

TEST(SendOptionsTest, ValuesComeInEitherSpellingFromFlagsOrTheEnvironment) {
    const auto options = parse({"--stream-id=abc", "--fast", "clip.mp4", "--loop", "3",
                                "--segment-ms=500", "-q", "--config=c.json", "--agent", "backup"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->media_path, "clip.mp4");
    EXPECT_EQ(options->stream_id, "abc");
    EXPECT_EQ(options->loops, 3);
    EXPECT_EQ(options->segment_ms, 500);
    EXPECT_EQ(options->config_path, "c.json");
    EXPECT_EQ(options->agent, "backup");
    EXPECT_TRUE(options->fast);
    EXPECT_TRUE(options->quiet);

    EXPECT_EQ(parse({"--fast", "--", "-odd name.mp4"})->media_path, "-odd name.mp4");
    EXPECT_TRUE(parse({"--help"})->help);

    // The environment's key stands in only for a missing flag.
    EXPECT_EQ(parse({"clip.mp4"}, "env-key")->api_key, "env-key");
    EXPECT_EQ(parse({"--api-key", "flag-key", "clip.mp4"}, "env-key")->api_key, "flag-key");
}

TEST(SendOptionsTest, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{}, "no media file given"},
        {{"a.mp4", "b.mp4"}, "only one media file"},
        {{"clip.mp4", "--config"}, "--config needs a value"},
        {{"clip.mp4", "--loop", "0"}, "--loop needs a whole number of at least 1, not '0'"},
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

TEST(SenderConfigTest, AnEndpointOfTheUsersOwnIsKeptAndCredentialsAreRequired) {
    const testing::IsolatedHome home;
    std::string error;
    // A portal-linked file is read with the built-in endpoint; one given here must not be lost.
    std::ofstream(home.file("linked.json"))
        << R"({"auth_mode": "portal", "stream_id": "linked", "api_key": "k", "agent_id": "backup"})";
    SendOptions options;
    options.config_path = home.file("linked.json");
    options.endpoint = "http://127.0.0.1:9";
    const std::optional<PluginConfig> amended = prepare_sender_config(options, &error);
    ASSERT_TRUE(amended) << error;
    EXPECT_EQ(amended->agent_id, "backup");
    EXPECT_EQ(amended->api_endpoint, "http://127.0.0.1:9");

    // The plug-in lets a disabled configuration go without credentials; a sender does not.
    std::ofstream(home.file("disabled.json")) << R"({"enabled": false})";
    options = SendOptions{};
    options.config_path = home.file("disabled.json");
    EXPECT_FALSE(prepare_sender_config(options, &error));
    EXPECT_EQ(error, "invalid configuration: stream_id is required");
}

UploadResult answer(int status, std::string body = {}) {
    UploadResult result;
    result.ok = status == 201;
    result.http_status = status;
    result.error = std::move(body);
    return result;
}

// A transport failure (no HTTP status) is its own text, as the summary's "last error" shows it.
TEST(DeliveryTallyTest, RefusalsForGoodAreToldApartFromPassingFailures) {
    const std::string rejected = "API key rejected. Rotate your key in the Ryvo dashboard.";
    for (const auto& [result, refusal, last] :
         std::vector<std::tuple<UploadResult, std::string, std::string>>{
             {answer(400, R"({"error": "unauthorized"})"), rejected,
              R"(HTTP 400: {"error": "unauthorized"})"},
             {answer(404, R"({"error": "not_found"})"),
              "Ryvo stream not found. Check the stream ID.", R"(HTTP 404: {"error": "not_found"})"},
             {answer(403, "forbidden"), "HTTP 403: forbidden", "HTTP 403: forbidden"},
             {answer(0, "Couldn't connect to server"), "", "Couldn't connect to server"},
             {answer(503), "", "HTTP 503"}}) {
        DeliveryTally tally;
        tally.note_upload(1, 10, result);
        EXPECT_EQ(tally.counts().refused, !refusal.empty()) << result.http_status;
        EXPECT_EQ(tally.counts().refusal, refusal) << result.http_status;
        EXPECT_EQ(tally.counts().last_failure, last) << result.http_status;
    }
}

TEST(StatusJsonTest, CarriesTheSessionStatusOnOneLineWhateverTheErrorSays) {
    ProgressFigures figures;
    figures.segments = figures.uploaded = figures.queue_depth = UINT64_MAX;
    figures.cache_bytes = figures.cache_max_bytes = figures.bytes_muxed = UINT64_MAX;
    figures.media_seconds = 12.5;
    figures.status_error = "server said \"no\"\\\n\tnow";
    // The side traffic's error is not the session's and stays out.
    figures.last_error = "heartbeat failed";
    const std::string max = "18446744073709551615";
    EXPECT_EQ(format_status_json(figures),
              "{\"segments\":" + max + ",\"uploaded\":" + max + ",\"queue\":" + max +
                  ",\"cache_bytes\":" + max + ",\"cache_max_bytes\":" + max +
                  ",\"bytes_muxed\":" + max +
                  ",\"media_seconds\":12.500,\"connected\":false,"
                  "\"last_error\":\"server said \\\"no\\\"\\\\\\u000a\\u0009now\"}");
}

}  // namespace
}  // namespace ryvoobs

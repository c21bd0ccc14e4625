#include "api/ingest_requests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace ryvoobs {
namespace {

TEST(IngestRequests, UrlsAreScopedToTheStreamAndSegmentsCarryDigestDurationAndIdentity) {
    PluginConfig config;
    config.api_endpoint = "https://ingest.example.test";
    config.stream_id = "a b/c%";  // inserted verbatim
    config.api_key = "key-1";
    config.agent_id = "primary";
    const std::string stream = "https://ingest.example.test/api/v1/streams/a b/c%";
    EXPECT_EQ(build_segment_upload_url(config, -1), stream + "/segments/-1");
    EXPECT_EQ(build_heartbeat_url(config), stream + "/heartbeat");
    EXPECT_EQ(build_backfill_url(config), stream + "/backfill-requests");
    EXPECT_EQ(build_end_url(config), stream + "/end");

    SegmentData segment;
    segment.sha256 = std::string(64, 'a');
    segment.duration_ms = -5;
    HeaderSet expected{
        {"Authorization", "Bearer key-1"}, {"Content-Type", "application/octet-stream"},
        {"X-Agent-ID", "primary"},         {"X-Agent-Version", kPluginVersion},
        {"X-Segment-Duration-Ms", "-5"},   {"X-Segment-SHA256", std::string(64, 'a')}};
    EXPECT_EQ(build_segment_headers(config, segment), expected);
    segment.capture_session_id = "cap-9";
    expected.emplace("X-Capture-Session-ID", "cap-9");
    EXPECT_EQ(build_segment_headers(config, segment), expected);

    config.api_key.clear();
    EXPECT_EQ(build_heartbeat_headers(config).at("Authorization"), "Bearer ");
    EXPECT_EQ(build_segment_headers(config, SegmentData{}).at("Authorization"), "Bearer ");
}

TEST(IngestRequests, HeartbeatJsonKeepsItsMembersInOrderAndIsAlwaysValid) {
    for (const auto& [minutes, written] :
         std::vector<std::pair<double, const char*>>{{2.0, "2.00"},
                                                     {0.333, "0.33"},
                                                     {0.0, "0.00"},
                                                     {std::nan(""), "0.00"},
                                                     {HUGE_VAL, "0.00"},
                                                     {-HUGE_VAL, "0.00"}}) {
        EXPECT_EQ(build_heartbeat_json(HeartbeatPayload{42, minutes, 0, "0.2.10"}),
                  std::string("{\"current_sequence\":42,\"cache_depth_minutes\":") + written +
                      ",\"upload_queue_depth\":0,\"agent_version\":\"0.2.10\"}")
            << minutes;
    }
    const HeartbeatPayload extremes{INT64_MIN, 1.5, UINT64_MAX, "a\"b\\c\td\ne\rf\x01g"};
    EXPECT_EQ(build_heartbeat_json(extremes),
              "{\"current_sequence\":-9223372036854775808,\"cache_depth_minutes\":1.50,"
              "\"upload_queue_depth\":18446744073709551615,"
              "\"agent_version\":\"a\\\"b\\\\c\\td\\ne\\rf\x01g\"}");
}

TEST(IngestResponses, ErrorCodesFollowThePlainTextRulesAndStayInsideTheInput) {
    for (const auto& [body, code] : std::vector<std::pair<const char*, const char*>>{
             {R"({"error" : "not_found","message":"x"})", "not_found"},
             {R"({"error":404})", ""},
             {R"({"error":5,"detail":"y"})", "detail"},
             {R"({"tags":["error"],"code":"E1"})", "E1"},
             {R"({"nested":{"error":"inner"},"error":"outer"})", "inner"},
             {R"({"error":"a\"b"})", "a\\"},
             {"<html><body>404 Not Found</body></html>", ""},
             {"\"error\":\"", ""}}) {
        EXPECT_EQ(parse_error_code(body), code) << body;
    }
    // Each text is cut out of a larger one, so that a read beyond it would see the closing quote
    // that follows (and AddressSanitizer an overflow).
    const std::string backing = "{\"error\":\"cut\"";
    for (std::size_t length = 0; length <= backing.size(); ++length) {
        const auto exact = std::make_unique<char[]>(length);
        std::copy_n(backing.data(), length, exact.get());
        EXPECT_EQ(extract_string_field(std::string_view(exact.get(), length), "error"),
                  length == backing.size() ? "cut" : "")
            << length;
    }
}

TEST(IngestResponses, BackfillReadsDigitsBetweenTheFirstBrackets) {
    struct Case {
        const char* body;
        std::vector<std::int64_t> missing;
        const char* priority;
    };
    for (const Case& c : {
             Case{R"({"missing_sequences":[],"priority":"high"})", {}, "high"},
             Case{"{}", {}, "normal"},
             Case{R"({"missing_sequences":[3, 4,5]})", {3, 4, 5}, "normal"},
             Case{R"({"missing_sequences":[-7]})", {7}, "normal"},
             Case{R"({"missing_sequences":[1.5]})", {1, 5}, "normal"},
             Case{R"({"missing_sequences":["8"]})", {8}, "normal"},
             Case{R"({"missing_sequences":[9,9,2]})", {9, 9, 2}, "normal"},
             Case{R"({"missing_sequences" [4]})", {4}, "normal"},
             Case{R"({"missing_sequences":[4)", {}, "normal"},
             Case{R"({"missing_sequences":4])", {}, "normal"},
             Case{R"({"priority":"","missing_sequences":[1]})", {1}, "normal"},
             Case{R"({"missing_sequences":[18446744073709551617]})", {1}, "normal"},
             Case{"\"missing_sequences\"", {}, "normal"},
         }) {
        const BackfillResponse response = parse_backfill_response(c.body);
        EXPECT_EQ(response.missing_sequences, c.missing) << c.body;
        EXPECT_EQ(response.priority, c.priority) << c.body;
    }
}

}  // namespace
}  // namespace ryvoobs

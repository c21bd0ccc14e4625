#include "api/ingest_requests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace ryvoobs {
namespace {

PluginConfig stream_config() {
    PluginConfig config;
    config.api_endpoint = "https://ingest.example.test";
    config.stream_id = "abc";
    config.api_key = "key-1";
    config.agent_id = "primary";
    return config;
}

TEST(IngestUrls, EveryRequestIsScopedToTheStreamInsertedVerbatim) {
    const PluginConfig config = stream_config();
    EXPECT_EQ(build_segment_upload_url(config, -1),
              "https://ingest.example.test/api/v1/streams/abc/segments/-1");
    EXPECT_EQ(build_heartbeat_url(config),
              "https://ingest.example.test/api/v1/streams/abc/heartbeat");
    EXPECT_EQ(build_backfill_url(config),
              "https://ingest.example.test/api/v1/streams/abc/backfill-requests");
    PluginConfig odd = config;
    odd.stream_id = "a b/c%";
    EXPECT_EQ(build_end_url(odd), "https://ingest.example.test/api/v1/streams/a b/c%/end");
}

TEST(IngestHeaders, SegmentsCarryDigestDurationAndIdentityAndAnEmptyKeyStillTheBearerPrefix) {
    SegmentData segment;
    segment.sha256 = std::string(64, 'a');
    segment.duration_ms = -5;
    const HeaderSet expected{
        {"Authorization", "Bearer key-1"}, {"Content-Type", "application/octet-stream"},
        {"X-Agent-ID", "primary"},         {"X-Agent-Version", kPluginVersion},
        {"X-Segment-Duration-Ms", "-5"},   {"X-Segment-SHA256", std::string(64, 'a')}};
    EXPECT_EQ(build_segment_headers(stream_config(), segment), expected);
    segment.capture_session_id = "cap-9";
    HeaderSet with_session = expected;
    with_session.emplace("X-Capture-Session-ID", "cap-9");
    EXPECT_EQ(build_segment_headers(stream_config(), segment), with_session);

    PluginConfig keyless = stream_config();
    keyless.api_key.clear();
    EXPECT_EQ(build_heartbeat_headers(keyless).at("Authorization"), "Bearer ");
    EXPECT_EQ(build_segment_headers(keyless, SegmentData{}).at("Authorization"), "Bearer ");
}

TEST(HeartbeatJson, MembersInOrderDepthWithTwoDecimalsAndAlwaysValid) {
    struct Case {
        double minutes;
        const char* written;
    };
    for (const Case& c :
         {Case{2.0, "2.00"}, Case{0.333, "0.33"}, Case{0.0, "0.00"}, Case{std::nan(""), "0.00"},
          Case{HUGE_VAL, "0.00"}, Case{-HUGE_VAL, "0.00"}}) {
        EXPECT_EQ(build_heartbeat_json(HeartbeatPayload{42, c.minutes, 0, "0.2.10"}),
                  std::string("{\"current_sequence\":42,\"cache_depth_minutes\":") + c.written +
                      ",\"upload_queue_depth\":0,\"agent_version\":\"0.2.10\"}")
            << c.minutes;
    }
    const HeartbeatPayload extremes{INT64_MIN, 1.5, UINT64_MAX, "a\"b\\c\td\ne\rf\x01g"};
    EXPECT_EQ(build_heartbeat_json(extremes),
              "{\"current_sequence\":-9223372036854775808,\"cache_depth_minutes\":1.50,"
              "\"upload_queue_depth\":18446744073709551615,"
              "\"agent_version\":\"a\\\"b\\\\c\\td\\ne\\rf\x01g\"}");
}

TEST(ErrorCodeScan, FollowsThePlainTextRules) {
    struct Case {
        const char* body;
        const char* code;
    };
    for (const Case& c : {
             Case{R"({"error" : "not_found","message":"x"})", "not_found"},
             Case{R"({"error":404})", ""},
             Case{R"({"error":5,"detail":"y"})", "detail"},
             Case{R"({"tags":["error"],"code":"E1"})", "E1"},
             Case{R"({"nested":{"error":"inner"},"error":"outer"})", "inner"},
             Case{R"({"error":"a\"b"})", "a\\"},
             Case{"<html><body>404 Not Found</body></html>", ""},
             Case{"\"error\":\"", ""},
         }) {
        EXPECT_EQ(parse_error_code(c.body), c.code) << c.body;
    }
}

TEST(ErrorCodeScan, NeverReadsPastTheEndOfTheInput) {
    // The scanned text is cut out of a larger buffer so that a read beyond the view would see
    // the closing quote that follows it (and AddressSanitizer would see an overflow).
    const std::string backing = "{\"error\":\"cut\"";
    for (std::size_t length = 0; length <= backing.size(); ++length) {
        auto exact = std::make_unique<char[]>(length);
        std::copy_n(backing.data(), length, exact.get());
        const std::string code =
            extract_string_field(std::string_view(exact.get(), length), "error");
        EXPECT_EQ(code, length == backing.size() ? "cut" : "") << length;
    }
}

TEST(BackfillScan, ReadsDigitsBetweenTheFirstBrackets) {
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

#include "api/curl_ryvo_api.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "api/ingest_requests.h"
#include "dev_server_process.h"
#include "runtime/sha256.h"
#include "scoped_env.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;
using test_support::DevServerProcess;

PluginConfig config_for(const std::string& endpoint) {
    PluginConfig config;
    config.api_endpoint = endpoint;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.agent_id = "primary";
    return config;
}

SegmentData segment(std::int64_t sequence, std::size_t size = 1000) {
    SegmentData data;
    data.sequence = sequence;
    data.duration_ms = 2000;
    data.capture_session_id = "cap-1";
    data.bytes = std::make_shared<SegmentBytes>(size, static_cast<std::uint8_t>(sequence));
    data.sha256 = sha256_hex(*data.bytes);
    return data;
}

struct Outcome {
    ApiStatus status;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

Outcome send(const CurlRyvoApi& api, const std::string& kind) {
    Outcome outcome{ApiStatus::ok, "untouched"};
    if (kind == "heartbeat") {
        outcome.status =
            api.post_heartbeat(HeartbeatPayload{42, 0.5, 3, kPluginVersion}, &outcome.error);
    } else if (kind == "backfill") {
        api.fetch_backfill(&outcome.error, &outcome.status);
    } else {
        outcome.status = api.post_end(&outcome.error);
    }
    return outcome;
}

std::string closed_url() {
    return DevServerProcess().base_url();
}

class CurlRyvoApiTest : public ::testing::Test {
  protected:
    void inject(const std::string& kind, json fault) {
        fault["kind"] = kind;
        server_.control("faults", fault);
    }
    void hold(const std::string& kind) { inject(kind, {{"action", "delay"}, {"delay_ms", 20000}}); }
    std::int64_t connections() { return server_.report()["connections"].get<std::int64_t>(); }

    DevServerProcess server_;
    CurlRyvoApi api_{config_for(server_.base_url())};
};

TEST_F(CurlRyvoApiTest, UploadSucceedsOnlyWith201AndFailuresCarryBodyAndRetryAfter) {
    const UploadResult stored = api_.upload_segment(segment(17, 3 << 20));
    EXPECT_TRUE(stored.ok) << stored.error;
    EXPECT_EQ(stored.error, "");

    const std::string body = R"({"error":"busy"})";
    // Only delay-seconds count, up to five minutes.
    for (const auto& [status, retry_after, retry_after_ms] :
         std::vector<std::tuple<int, std::string, std::int64_t>>{
             {200, "", 0},
             {429, "12", 12000},
             {429, "99999999999999999999999", 300000},
             {503, "Wed, 21 Oct 2015 07:28:00 GMT", 0}}) {
        json fault{{"status", status}, {"body", body}};
        if (!retry_after.empty()) {
            fault["retry_after"] = retry_after;
        }
        inject("upload", fault);
        const UploadResult result = api_.upload_segment(segment(1));
        EXPECT_FALSE(result.ok) << status;
        EXPECT_EQ(result.http_status, status);
        EXPECT_EQ(result.error, status == 200 ? "" : body) << status;
        EXPECT_EQ(result.retry_after_ms, retry_after_ms) << retry_after;
    }
}

TEST_F(CurlRyvoApiTest, AnswersAreReadAndClassifiedAndFailuresCarryTheBody) {
    EXPECT_EQ(send(api_, "heartbeat"), (Outcome{ApiStatus::ok, ""}));
    EXPECT_EQ(send(api_, "end"), (Outcome{ApiStatus::ok, "untouched"}));
    // Nothing missing is a 404 with "not_found"; any other 404 is a failure (below).
    EXPECT_EQ(send(api_, "backfill"), (Outcome{ApiStatus::ok, ""}));
    ASSERT_TRUE(api_.upload_segment(segment(4)).ok);
    ASSERT_TRUE(api_.upload_segment(segment(7)).ok);
    EXPECT_EQ(api_.fetch_backfill(nullptr, nullptr).value().missing_sequences,
              (std::vector<std::int64_t>{5, 6}));

    const std::string denied = R"({"error":"unauthorized"})";
    const std::string page = "<html><body>Not Found</body></html>";
    for (const auto& [kind, status, body, expected] :
         std::vector<std::tuple<std::string, int, std::string, Outcome>>{
             {"heartbeat", 403, denied, {ApiStatus::unauthorized, denied}},
             {"backfill", 404, page, {ApiStatus::failed, page}},
             {"end", 401, "", {ApiStatus::unauthorized, ""}},
             {"end", 299, "", {ApiStatus::ok, "untouched"}},
             {"end", 500, "down", {ApiStatus::failed, "down"}}}) {
        inject(kind, {{"status", status}, {"body", body}});
        EXPECT_EQ(send(api_, kind), expected) << kind << " " << status;
    }
}

TEST_F(CurlRyvoApiTest, UnusableUrlsAndHeadersFailWithoutContactingTheServer) {
    const std::string closed = closed_url();
    const std::string ok = server_.base_url();
    const std::int64_t before = connections();
    for (const auto& [endpoint, stream, key, error] :
         std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
             {"ftp://127.0.0.1", "stream-1", "key-1", "invalid URL"},
             {"http://ingest.invalid", "stream-1", "key-1", kClearTextEndpointMessage},
             {ok, "stream-1", "key-1\r\nX-Injected: 1", "invalid header"},
             {closed, "stream-1", "key-1", "Couldn't connect to server"}}) {
        PluginConfig config = config_for(endpoint);
        config.stream_id = stream;
        config.api_key = key;
        const CurlRyvoApi api(config);
        const UploadResult upload = api.upload_segment(segment(1));
        EXPECT_EQ(upload.http_status, 0);
        EXPECT_NE(upload.error.find(error), std::string::npos) << upload.error;
        for (const std::string kind : {"heartbeat", "backfill", "end"}) {
            const Outcome outcome = send(api, kind);
            EXPECT_EQ(outcome.status, ApiStatus::failed) << kind;
            EXPECT_NE(outcome.error.find(error), std::string::npos) << kind << outcome.error;
        }
    }
    EXPECT_EQ(connections(), before + 1) << "only the report itself connects";
}

TEST(CurlRyvoApiTransport, PlainHttpGoesStraightToThisMachine) {
    // A proxy from the environment would see the key in clear text; this one refuses everything.
    const testing::ScopedEnv http_proxy("http_proxy", closed_url());
    DevServerProcess server;
    const UploadResult upload =
        CurlRyvoApi(config_for(server.base_url())).upload_segment(segment(1));
    EXPECT_EQ(upload.http_status, 201) << upload.error;
}

TEST_F(CurlRyvoApiTest, ExchangesAreBoundedAndCancelled) {
    // The server holds each answer far longer than the bound allows.
    HttpSessionOptions whole;
    whole.exchange_timeout = std::chrono::milliseconds(300);
    hold("upload");
    const UploadResult timed_out =
        CurlRyvoApi(config_for(server_.base_url()), whole).upload_segment(segment(1));
    EXPECT_NE(timed_out.error.find("timed out"), std::string::npos) << timed_out.error;
    // A dead network mid-request: no byte moves, so the stall bound ends it long before the
    // exchange's own.
    HttpSessionOptions stalling;
    stalling.stall_timeout = std::chrono::milliseconds(300);
    hold("upload");
    EXPECT_EQ(
        CurlRyvoApi(config_for(server_.base_url()), stalling).upload_segment(segment(1)).error,
        "Operation too slow: no data transferred for 300 ms");

    // A cancel abandons a held exchange within a bound, and later ones fail unsent.
    hold("upload");
    std::jthread upload(
        [&] { EXPECT_EQ(api_.upload_segment(segment(2)).error, "request cancelled"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_.report()["faults"]["pending"].empty() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto cancelled_at = std::chrono::steady_clock::now();
    api_.cancel();
    upload.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(1));
    const std::int64_t before = connections();
    EXPECT_EQ(send(api_, "end"), (Outcome{ApiStatus::failed, "request cancelled"}));
    EXPECT_EQ(connections(), before + 1) << "only the report itself connects";
}

TEST_F(CurlRyvoApiTest, NeverMoreThanFourConnections) {
    // Held answers keep every connection busy, so each thread would need its own.
    inject("upload", {{"action", "delay"}, {"delay_ms", 200}, {"count", 8}});
    const std::int64_t before = connections();
    std::vector<std::jthread> threads;
    std::vector<int> statuses(8);
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        threads.emplace_back([this, i, &statuses] {
            statuses[i] = api_.upload_segment(segment(static_cast<std::int64_t>(i))).http_status;
        });
    }
    threads.clear();
    EXPECT_EQ(statuses, std::vector<int>(8, 201));
    EXPECT_LE(connections(), before + 4 + 1);
}

TEST(CurlRyvoApiTls, VerifiesTheServerAgainstTheConfiguredCa) {
    const testing::TemporaryDirectory tls;
    const std::string make_certificate =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        tls.file("server.key") + " -out " + tls.file("server.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make_certificate.c_str()), 0);
    test_support::DevServerOptions options;
    options.tls_cert = tls.file("server.pem");
    options.tls_key = tls.file("server.key");
    DevServerProcess server(options);

    unsetenv("RYVO_CA_FILE");  // the system's store does not know it
    const UploadResult refused =
        CurlRyvoApi(config_for(server.base_url())).upload_segment(segment(1));
    EXPECT_NE(refused.error.find("certificate"), std::string::npos) << refused.error;
    const testing::ScopedEnv ca("RYVO_CA_FILE", tls.file("server.pem"));
    const UploadResult upload =
        CurlRyvoApi(config_for(server.base_url())).upload_segment(segment(1));
    EXPECT_TRUE(upload.ok) << upload.error;
}

TEST(IngestRequests, HeartbeatJsonKeepsItsMembersInOrderAndIsAlwaysValid) {
    const HeartbeatPayload extremes{INT64_MIN, std::nan(""), UINT64_MAX, "a\"b\\c\td\ne\rf\x01g"};
    EXPECT_EQ(build_heartbeat_json(extremes),
              "{\"current_sequence\":-9223372036854775808,\"cache_depth_minutes\":0.00,"
              "\"upload_queue_depth\":18446744073709551615,"
              "\"agent_version\":\"a\\\"b\\\\c\\td\\ne\\rf\x01g\"}");
}

TEST(IngestResponses, ErrorCodesFollowThePlainTextRules) {
    for (const auto& [body, code] : std::vector<std::pair<const char*, const char*>>{
             {R"({"error" : "not_found","message":"x"})", "not_found"},
             {R"({"error":5,"detail":"y"})", "detail"},
             {R"({"nested":{"error":"inner"},"error":"outer"})", "inner"},
             {R"({"error":"a\"b"})", "a\\"},
             {"<html><body>404 Not Found</body></html>", ""},
             {"\"error\":\"", ""}}) {
        EXPECT_EQ(parse_error_code(body), code) << body;
    }
}

TEST(IngestResponses, BackfillReadsDigitsBetweenTheFirstBrackets) {
    for (const auto& [body, missing, priority] :
         std::vector<std::tuple<const char*, std::vector<std::int64_t>, const char*>>{
             {R"({"missing_sequences":[],"priority":"high"})", {}, "high"},
             {R"({"missing_sequences":[3, 4,5]})", {3, 4, 5}, "normal"},
             {R"({"missing_sequences":[-7, 1.5]})", {7, 1, 5}, "normal"},
             {R"({"priority":"","missing_sequences":[1]})", {1}, "normal"},
             {R"({"missing_sequences":[18446744073709551617]})", {1}, "normal"},
             {R"({"missing_sequences":[4)", {}, "normal"}}) {
        const BackfillResponse response = parse_backfill_response(body);
        EXPECT_EQ(response.missing_sequences, missing) << body;
        EXPECT_EQ(response.priority, priority) << body;
    }
}

}  // namespace
}  // namespace ryvoobs

#include "api/curl_ryvo_api.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "dev_server_process.h"
#include "runtime/sha256.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;
using test_support::DevServerOptions;
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

// The heartbeat, backfill and end requests through one shape: how each came out, and its error
// text (which starts as "untouched").
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

const std::vector<std::string> kRequestKinds{"heartbeat", "backfill", "end"};

class CurlRyvoApiTest : public ::testing::Test {
  protected:
    // Makes the server's next `kind` request answer with `fault` (see the dev server's faults).
    void inject(const std::string& kind, json fault) {
        fault["kind"] = kind;
        server_.control("faults", fault);
    }
    std::int64_t connections() { return server_.report()["connections"].get<std::int64_t>(); }

    DevServerProcess server_;
    CurlRyvoApi api_{config_for(server_.base_url())};
};

TEST_F(CurlRyvoApiTest, UploadSucceedsOnlyWith201AndFailuresCarryBodyAndRetryAfter) {
    const UploadResult stored = api_.upload_segment(segment(17, 3 << 20));
    EXPECT_TRUE(stored.ok) << stored.error;
    EXPECT_EQ(stored.http_status, 201);
    EXPECT_EQ(stored.error, "");

    struct Case {
        int status;
        std::string retry_after;  // "" for none
        std::int64_t retry_after_ms;
    };
    const std::string body = R"({"error":"busy"})";
    // Only delay-seconds count, up to five minutes.
    for (const Case& c :
         {Case{200, "", 0}, Case{500, "", 0}, Case{429, "12", 12000}, Case{429, "300", 300000},
          Case{429, "99999999999999999999999", 300000}, Case{429, "7s", 7000}, Case{429, "0", 0},
          Case{429, "-5", 0}, Case{503, "Wed, 21 Oct 2015 07:28:00 GMT", 0}}) {
        json fault{{"status", c.status}, {"body", body}};
        if (!c.retry_after.empty()) {
            fault["retry_after"] = c.retry_after;
        }
        inject("upload", fault);
        const UploadResult result = api_.upload_segment(segment(1));
        EXPECT_FALSE(result.ok) << c.status;
        EXPECT_EQ(result.http_status, c.status);
        EXPECT_EQ(result.error, c.status == 200 ? "" : body) << c.status;
        EXPECT_EQ(result.retry_after_ms, c.retry_after_ms) << c.retry_after;
    }
}

TEST_F(CurlRyvoApiTest, AnswersAreReadAndClassifiedAndFailuresCarryTheBody) {
    EXPECT_EQ(send(api_, "heartbeat"), (Outcome{ApiStatus::ok, ""}));
    EXPECT_EQ(server_.report()["streams"]["stream-1"]["requests"]["heartbeat"], 1);
    EXPECT_EQ(send(api_, "end"), (Outcome{ApiStatus::ok, "untouched"}));
    EXPECT_TRUE(server_.report()["streams"]["stream-1"]["agents"]["primary"]["end_received"]);
    // Nothing missing is a 404 with "not_found"; any other 404 is a failure (below).
    EXPECT_EQ(send(api_, "backfill"), (Outcome{ApiStatus::ok, ""}));
    ASSERT_TRUE(api_.upload_segment(segment(4)).ok);
    ASSERT_TRUE(api_.upload_segment(segment(7)).ok);
    EXPECT_EQ(api_.fetch_backfill(nullptr, nullptr).value().missing_sequences,
              (std::vector<std::int64_t>{5, 6}));

    const std::string denied = R"({"error":"unauthorized"})";
    const std::string page = "<html><body>Not Found</body></html>";
    struct Case {
        std::string kind;
        int status;
        std::string body;
        Outcome expected;
    };
    for (const Case& c : {Case{"heartbeat", 403, denied, {ApiStatus::unauthorized, denied}},
                          Case{"heartbeat", 503, "", {ApiStatus::failed, ""}},
                          Case{"backfill", 404, page, {ApiStatus::failed, page}},
                          Case{"backfill", 401, "", {ApiStatus::unauthorized, ""}},
                          Case{"end", 299, "", {ApiStatus::ok, "untouched"}},
                          Case{"end", 500, "down", {ApiStatus::failed, "down"}}}) {
        inject(c.kind, {{"status", c.status}, {"body", c.body}});
        EXPECT_EQ(send(api_, c.kind), c.expected) << c.kind << " " << c.status;
    }

    PluginConfig wrong_key = config_for(server_.base_url());
    wrong_key.api_key = "wrong";
    const CurlRyvoApi rejected(wrong_key);
    EXPECT_EQ(rejected.upload_segment(segment(1)).http_status, 401);
    for (const std::string& kind : kRequestKinds) {
        EXPECT_EQ(send(rejected, kind).status, ApiStatus::unauthorized) << kind;
    }
}

TEST_F(CurlRyvoApiTest, UnusableUrlsAndHeadersFailWithoutContactingTheServer) {
    struct Case {
        std::string endpoint;
        std::string stream;
        std::string key;
        std::string error;
    };
    std::string closed;
    {
        DevServerProcess gone;
        closed = gone.base_url();
    }
    const std::int64_t before = connections();
    for (const Case& c :
         {Case{server_.base_url(), "a b", "key-1", "invalid URL"},
          Case{"ftp://127.0.0.1", "stream-1", "key-1", "invalid URL"},
          Case{"no scheme", "stream-1", "key-1", "invalid URL"},
          Case{"http://ingest.invalid", "stream-1", "key-1", kClearTextEndpointMessage},
          Case{server_.base_url(), "stream-1", "key-1\r\nX-Injected: 1", "invalid header"},
          // libcurl's text names the elapsed milliseconds, so only its substance is compared.
          Case{closed, "stream-1", "key-1", "Couldn't connect to server"}}) {
        PluginConfig config = config_for(c.endpoint);
        config.stream_id = c.stream;
        config.api_key = c.key;
        const CurlRyvoApi api(config);
        const UploadResult upload = api.upload_segment(segment(1));
        EXPECT_EQ(upload.http_status, 0);
        EXPECT_NE(upload.error.find(c.error), std::string::npos) << upload.error;
        for (const std::string& kind : kRequestKinds) {
            const Outcome outcome = send(api, kind);
            EXPECT_EQ(outcome.status, ApiStatus::failed) << kind;
            EXPECT_NE(outcome.error.find(c.error), std::string::npos) << kind << outcome.error;
        }
    }
    EXPECT_EQ(connections(), before + 1) << "only the report itself connects";
}

TEST(CurlRyvoApiTransport, PlainHttpGoesStraightToThisMachine) {
    // A proxy from the environment would see the key in clear text; this one refuses everything.
    std::string proxy;
    {
        DevServerProcess closed;
        proxy = closed.base_url();
    }
    setenv("http_proxy", proxy.c_str(), 1);
    DevServerProcess ipv4;
    DevServerOptions ipv6_options;
    ipv6_options.extra_args = {"--host", "::1"};
    DevServerProcess ipv6(ipv6_options);
    std::int64_t sequence = 0;
    for (const std::string& endpoint :
         {ipv4.base_url(), "http://localhost:" + std::to_string(ipv4.port()),
          "http://[::1]:" + std::to_string(ipv6.port())}) {
        const UploadResult upload =
            CurlRyvoApi(config_for(endpoint)).upload_segment(segment(++sequence));
        EXPECT_EQ(upload.http_status, 201) << endpoint << ": " << upload.error;
    }
    unsetenv("http_proxy");
}

TEST_F(CurlRyvoApiTest, ExchangesAreBounded) {
    // The server holds the answer far longer than either bound allows.
    HttpSessionOptions whole;
    whole.exchange_timeout = std::chrono::milliseconds(300);
    inject("upload", {{"action", "delay"}, {"delay_ms", 20000}});
    const UploadResult timed_out =
        CurlRyvoApi(config_for(server_.base_url()), whole).upload_segment(segment(1));
    EXPECT_EQ(timed_out.http_status, 0);
    EXPECT_NE(timed_out.error.find("timed out"), std::string::npos) << timed_out.error;

    HttpSessionOptions stall;
    stall.stall_timeout = std::chrono::milliseconds(200);
    inject("heartbeat", {{"action", "delay"}, {"delay_ms", 20000}});
    const Outcome stalled = send(CurlRyvoApi(config_for(server_.base_url()), stall), "heartbeat");
    EXPECT_EQ(stalled.status, ApiStatus::failed);
    EXPECT_NE(stalled.error.find("no data transferred"), std::string::npos) << stalled.error;

    // A cancel abandons every held exchange within a bound, and later ones fail unsent.
    CurlRyvoApi cancelled(config_for(server_.base_url()));
    inject("upload", {{"action", "delay"}, {"delay_ms", 20000}});
    inject("heartbeat", {{"action", "delay"}, {"delay_ms", 20000}});
    std::jthread upload(
        [&] { EXPECT_EQ(cancelled.upload_segment(segment(2)).error, "request cancelled"); });
    std::jthread heartbeat([&] {
        EXPECT_EQ(send(cancelled, "heartbeat"), (Outcome{ApiStatus::failed, "request cancelled"}));
    });
    const auto held_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server_.report()["faults"]["pending"].size() != 0 &&
           std::chrono::steady_clock::now() < held_deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Both requests reach the server before it can hold them.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto cancelled_at = std::chrono::steady_clock::now();
    cancelled.cancel();
    upload.join();
    heartbeat.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(1));
    const std::int64_t before = connections();
    EXPECT_EQ(send(cancelled, "end"), (Outcome{ApiStatus::failed, "request cancelled"}));
    EXPECT_EQ(connections(), before + 1) << "only the report itself connects";
}

TEST_F(CurlRyvoApiTest, OneConnectionPerThreadAndNeverMoreThanFour) {
    std::int64_t before = connections();
    for (std::int64_t sequence = 0; sequence < 10; ++sequence) {
        ASSERT_TRUE(api_.upload_segment(segment(sequence)).ok);
    }
    ASSERT_EQ(api_.post_heartbeat(HeartbeatPayload{}, nullptr), ApiStatus::ok);
    EXPECT_EQ(connections(), before + 2);  // the uploads' one and the report's own

    // Held answers keep every connection busy, so each thread would need its own.
    inject("upload", {{"action", "delay"}, {"delay_ms", 200}, {"count", 8}});
    before = connections();
    std::vector<std::jthread> threads;
    std::vector<int> statuses(8);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([this, i, &statuses] {
            statuses[static_cast<std::size_t>(i)] = api_.upload_segment(segment(i)).http_status;
        });
    }
    threads.clear();
    EXPECT_EQ(statuses, std::vector<int>(8, 201));
    EXPECT_LE(connections(), before + 4 + 1);
}

TEST(CurlRyvoApiTls, VerifiesTheServerAgainstTheConfiguredCa) {
    // A local CA, another one, and a server certificate for 127.0.0.1 signed by the first.
    const testing::TemporaryDirectory tls;
    const std::string script = tls.file("make-certificates.sh");
    std::ofstream(script) << R"sh(set -e
cd "$(dirname "$0")"
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
for ca in ca other; do
    openssl req -x509 $ec -keyout $ca.key -out $ca.pem -subj /CN=ryvo-test-$ca \
        -addext basicConstraints=critical,CA:TRUE
done
openssl req $ec -keyout server.key -out server.csr -subj /CN=127.0.0.1
echo subjectAltName=IP:127.0.0.1 > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem
)sh";
    ASSERT_EQ(std::system(("/bin/sh " + script + " >/dev/null 2>&1").c_str()), 0);
    DevServerOptions options;
    options.tls_cert = tls.file("server.pem");
    options.tls_key = tls.file("server.key");
    DevServerProcess server(options);

    for (const char* ca : {"", "other.pem", "ca.pem"}) {
        if (*ca == '\0') {
            unsetenv("RYVO_CA_FILE");  // the system's store
        } else {
            setenv("RYVO_CA_FILE", tls.file(ca).c_str(), 1);
        }
        const UploadResult upload =
            CurlRyvoApi(config_for(server.base_url())).upload_segment(segment(1));
        if (std::string(ca) == "ca.pem") {
            EXPECT_TRUE(upload.ok) << upload.error;
        } else {
            EXPECT_EQ(upload.http_status, 0) << ca;
            EXPECT_NE(upload.error.find("certificate"), std::string::npos) << upload.error;
        }
    }
    unsetenv("RYVO_CA_FILE");
}

}  // namespace
}  // namespace ryvoobs

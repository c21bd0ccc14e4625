// The gtest-side handle on the development ingest server: other suites rely on it to start,
// drive and always reap the child, so these cases check exactly that.
#include "dev_server_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/sha256.h"

namespace ryvoobs::test_support {
namespace {

std::vector<std::string> segment_headers(const std::string& key, const std::string& body) {
    const std::vector<std::uint8_t> bytes(body.begin(), body.end());
    return {"Authorization: Bearer " + key,
            "Content-Type: application/octet-stream",
            "X-Segment-SHA256: " + sha256_hex(bytes),
            "X-Segment-Duration-Ms: 2000",
            "X-Agent-ID: primary",
            "X-Agent-Version: 0.2.10",
            "X-Capture-Session-ID: c0ffee"};
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DevServerProcess, ServesUploadsReportsThemAndTakesControlCalls) {
    DevServerOptions options;
    options.streams = {{"s", "k"}};
    DevServerProcess server(options);
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(server.base_url(), "http://127.0.0.1:" + std::to_string(server.port()));

    server.control("faults", {{"kind", "upload"}, {"status", 503}, {"retry_after", "7"}});
    const std::string segment = "transport stream bytes";
    for (const auto& [sequence, status] : {std::pair{1, 503}, {1, 201}, {3, 201}}) {
        const DevServerReply reply =
            server.exchange("POST", "/api/v1/streams/s/segments/" + std::to_string(sequence),
                            segment, segment_headers("k", segment));
        EXPECT_EQ(reply.status, status) << reply.body;
    }
    EXPECT_THROW(server.control("faults", {{"kind", "no-such-kind"}}), std::runtime_error);

    const nlohmann::json report = server.report();
    const nlohmann::json session = report["streams"]["s"]["sessions"]["c0ffee"];
    EXPECT_EQ(session["received"], nlohmann::json::array({1, 3}));
    EXPECT_EQ(session["gaps"], nlohmann::json::array({2}));
    EXPECT_EQ(session["bytes"], 2 * segment.size());
    EXPECT_EQ(report["faults"]["injected"]["upload"]["status_503"], 1);
}

// Reaped, not a zombie: the process ID no longer exists at all.
bool reaped(pid_t pid) {
    errno = 0;
    return kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(DevServerProcess, StopEndsTheChildCleanlyAndTheDestructorReapsItEitherWay) {
    pid_t stopped = -1;
    pid_t left_running = -1;
    {
        DevServerProcess server;
        stopped = server.pid();
        EXPECT_EQ(server.stop(), 0);
        EXPECT_NE(read_file(server.log_path()).find("ryvo-dev-server summary:"), std::string::npos);
        EXPECT_FALSE(server.running());
        DevServerProcess never_stopped;
        left_running = never_stopped.pid();
        EXPECT_EQ(kill(left_running, 0), 0);
    }
    EXPECT_TRUE(reaped(stopped));
    EXPECT_TRUE(reaped(left_running));
}

TEST(DevServerProcess, StartFailureIsReportedWithTheServerOutput) {
    try {
        DevServerOptions options;
        options.extra_args = {"--host", "192.0.2.1"};
        DevServerProcess server(options);
        FAIL() << "a non-loopback host must not start";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("loopback"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace ryvoobs::test_support

#include "diagnostics/diagnostic_bundle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "api/ingest_requests.h"
#include "diagnostics/diagnostic_inputs.h"
#include "diagnostics/diagnostic_status_text.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

constexpr char kHeader[] =
    "# Ryvo OBS diagnostic bundle\n"
    "generated: 2026-01-02T03:04:05Z\n"
    "plugin version: 1.0.0\n"
    "\n"
    "Note: automated redaction replaces recognized API keys, session\n"
    "tokens, RTMP URLs, home paths, and hostnames. Review this bundle\n"
    "before sharing it: third-party OBS plugins may use secret formats\n"
    "that Ryvo does not recognize.\n";

DiagnosticBundleInputs dated_inputs() {
    DiagnosticBundleInputs inputs;
    inputs.generated_at = "2026-01-02T03:04:05Z";
    inputs.plugin_version = "1.0.0";
    inputs.home_directory = "/home/alice";
    inputs.host_name = "alice-box";
    return inputs;
}

TEST(DiagnosticBundle, EmptySourcesStillGiveEverySectionWithItsPlaceholder) {
    EXPECT_EQ(build_diagnostic_bundle(dated_inputs()),
              std::string(kHeader) +
                  "\n## Plugin status snapshot\n\n"
                  "\n## Plugin config (redacted)\n\n"
                  "(config file not found or empty)\n"
                  "\n## Runtime state\n\n"
                  "(state file not found \u2014 no session has run yet, or state was reset)\n"
                  "\n## Recent OBS log tail\n\n"
                  "(no OBS log file found in ~/.config/obs-studio/logs/)\n");
}

TEST(DiagnosticBundle, EverySectionIsRedactedAndEndsInALineFeed) {
    DiagnosticBundleInputs inputs = dated_inputs();
    inputs.status_text = "stream_id: s-1\nhost: alice-box";
    inputs.config_json = R"({"api_key": "k-1", "stream_id": "s-1", "token": "t"})";
    inputs.state_json = R"({"path": "/home/alice/x", "last_sequence": 4})";
    inputs.log_tail = "info: Authorization: Bearer abc\ninfo: rtmp://h/app/key\n";
    EXPECT_EQ(build_diagnostic_bundle(inputs),
              std::string(kHeader) +
                  "\n## Plugin status snapshot\n\n"
                  "stream_id: s-1\nhost: <host>\n"
                  "\n## Plugin config (redacted)\n\n"
                  R"({"api_key": "<redacted>", "stream_id": "s-1", "token": "<redacted>"})"
                  "\n"
                  "\n## Runtime state\n\n"
                  R"({"path": "/home/<user>/x", "last_sequence": 4})"
                  "\n"
                  "\n## Recent OBS log tail\n\n"
                  "info: Authorization: Bearer <redacted>\ninfo: rtmp://<redacted>\n");
}

TEST(GatherDiagnosticInputs, ReadsTheConfigurationStateAndHomeOfTheCurrentUser) {
    testing::IsolatedHome home;
    DiagnosticBundleInputs none = gather_diagnostic_inputs("status\n");
    EXPECT_EQ(none.status_text, "status\n");
    EXPECT_EQ(none.plugin_version, kPluginVersion);
    EXPECT_EQ(none.home_directory, home.path());
    EXPECT_TRUE(none.config_json.empty() && none.state_json.empty() && none.log_tail.empty());
    EXPECT_EQ(none.generated_at.size(), std::string("2026-01-02T03:04:05Z").size());

    std::filesystem::create_directories(home.file(".config/Ryvo"));
    std::filesystem::create_directories(home.file(".config/obs-studio/logs"));
    std::ofstream(home.file(".config/Ryvo/obs-plugin.json")) << "{\"enabled\": true}";
    std::ofstream(home.file(".config/Ryvo/obs-plugin-state.json")) << "{\"seq\": 1}";
    std::ofstream(home.file(".config/obs-studio/logs/2026-01-02 03-04-05.txt")) << "line\n";
    // Not UTF-8 (an encoded surrogate): a file no text reading can show is left out rather than
    // mangled.
    std::ofstream(home.file(".config/Ryvo/obs-plugin.json"), std::ios::app) << "\xED\xA0\x80";
    const DiagnosticBundleInputs found = gather_diagnostic_inputs({});
    EXPECT_EQ(found.config_json, "");
    EXPECT_EQ(found.state_json, "{\"seq\": 1}");
    EXPECT_EQ(found.log_tail, "line\n");
}

// The value on the line of label, or "(no line)".
std::string value_of(const std::string& text, const std::string& label) {
    const std::string lines = "\n" + text;
    const std::size_t start = lines.find("\n" + label + ": ");
    if (start == std::string::npos) {
        return "(no line)";
    }
    const std::size_t value = start + label.size() + 3;
    return lines.substr(value, lines.find('\n', value) - value);
}

TEST(DiagnosticStatusText, EveryLabelHasItsLineWithTheDockWords) {
    const WallClockTime now = wall_clock_now();
    RyvoPluginStatusSnapshot live;
    live.attached = true;
    live.has_runtime_credentials = true;
    live.runtime_mode = static_cast<std::uint32_t>(RuntimeMode::full);
    live.capture_mode = CaptureMode::either;
    live.output_label = "ryvo_stream";
    live.runtime_status.streaming = true;
    live.runtime_status.connected = true;
    live.runtime_status.started_at = now - std::chrono::seconds(3725);
    live.runtime_status.current_sequence = -3;
    live.runtime_status.last_error = "Ryvo ingest unreachable";
    live.packets = 30;
    live.video_packets = 20;
    live.audio_packets = 10;
    live.cache_status.last_evicted_sequence = 1;
    const std::string idle = diagnostic_status_text(RyvoPluginStatusSnapshot{}, now);
    const std::string text = diagnostic_status_text(live, now);

    const struct {
        const char* label;
        const char* idle;
        const char* live;
    } cases[] = {
        {"enabled", "yes", "yes"},
        {"auth_mode", "portal", "portal"},
        {"runtime_mode", "tap_only", "full"},
        {"capture_mode", "streaming", "either"},
        {"attached", "no", "yes"},
        {"has_runtime_credentials", "no", "yes"},
        {"output_label", "none", "ryvo_stream"},
        {"health", "Unlinked", "Linked"},
        {"session_runtime", "Offline", "01:02:05"},
        {"current_sequence", "0", "-3"},
        {"packets total/video/audio", "0/0/0", "30/20/10"},
        {"cache_last_evicted_sequence", "(no line)", "1"},
        {"last_error", "(none)", "Ryvo ingest unreachable"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(value_of(idle, c.label), c.idle) << c.label;
        EXPECT_EQ(value_of(text, c.label), c.live) << c.label;
    }
    // Every other label has its line too: 32, and the last evicted sequence once there is one.
    EXPECT_EQ(std::count(idle.begin(), idle.end(), '\n'), 32) << idle;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 33) << text;
}

}  // namespace
}  // namespace ryvoobs

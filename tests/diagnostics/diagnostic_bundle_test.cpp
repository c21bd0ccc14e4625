#include "diagnostics/diagnostic_bundle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "diagnostics/diagnostic_inputs.h"
#include "diagnostics/diagnostic_status_text.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

constexpr char kHeader[] =
    "# Ryvo OBS diagnostic bundle\n"
    "generated: 2026-01-02T03:04:05Z\n"
    "plugin version: 0.2.10\n"
    "\n"
    "Note: automated redaction replaces recognized API keys, session\n"
    "tokens, RTMP URLs, home paths, and hostnames. Review this bundle\n"
    "before sharing it: third-party OBS plugins may use secret formats\n"
    "that Ryvo does not recognize.\n";

DiagnosticBundleInputs dated_inputs() {
    DiagnosticBundleInputs inputs;
    inputs.generated_at = "2026-01-02T03:04:05Z";
    inputs.plugin_version = "0.2.10";
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

TEST(DiagnosticBundle, HostNameIsReplacedBeforeTheHomePathThatContainsIt) {
    DiagnosticBundleInputs inputs = dated_inputs();
    inputs.home_directory = "/home/box";
    inputs.host_name = "box";
    inputs.log_tail = "/home/box/x box\n";
    EXPECT_NE(build_diagnostic_bundle(inputs).find("/home/<host>/x <host>\n"), std::string::npos);
}

TEST(GatherDiagnosticInputs, ReadsTheConfigurationStateAndHomeOfTheCurrentUser) {
    testing::IsolatedHome home;
    DiagnosticBundleInputs none = gather_diagnostic_inputs("status\n");
    EXPECT_EQ(none.status_text, "status\n");
    EXPECT_EQ(none.plugin_version, "0.2.10");
    EXPECT_EQ(none.home_directory, home.path());
    EXPECT_TRUE(none.config_json.empty() && none.state_json.empty() && none.log_tail.empty());
    EXPECT_EQ(none.generated_at.size(), std::string("2026-01-02T03:04:05Z").size());
    EXPECT_TRUE(none.generated_at.ends_with("Z"));

    std::filesystem::create_directories(home.file(".config/Ryvo"));
    std::filesystem::create_directories(home.file(".config/obs-studio/logs"));
    std::ofstream(home.file(".config/Ryvo/obs-plugin.json")) << "{\"enabled\": true}";
    std::ofstream(home.file(".config/Ryvo/obs-plugin-state.json")) << "{\"seq\": 1}";
    std::ofstream(home.file(".config/obs-studio/logs/2026-01-02 03-04-05.txt")) << "line\n";
    // Not UTF-8: a file no text reading can show is left out rather than mangled.
    std::ofstream(home.file(".config/Ryvo/obs-plugin.json"), std::ios::app) << "\xC0\xAF";
    const DiagnosticBundleInputs found = gather_diagnostic_inputs({});
    EXPECT_EQ(found.config_json, "");
    EXPECT_EQ(found.state_json, "{\"seq\": 1}");
    EXPECT_EQ(found.log_tail, "line\n");
}

std::string line_of(const std::string& text, const std::string& label) {
    const std::size_t start = text.find("\n" + label);
    return start == std::string::npos
               ? ""
               : text.substr(start + 1, text.find('\n', start + 1) - start - 1);
}

TEST(DiagnosticStatusText, LabelsInOrderWithTheDockWords) {
    const WallClockTime now = wall_clock_now();
    RyvoPluginStatusSnapshot empty;
    const std::string idle = diagnostic_status_text(empty, now);
    EXPECT_EQ(idle,
              "enabled: yes\nauth_mode: portal\nruntime_mode: tap_only\ncapture_mode: streaming\n"
              "hook_installed: no\nattached: no\nactive_service_is_ryvo: no\n"
              "has_runtime_credentials: no\nhas_pending_portal_link: no\noutput_label: none\n"
              "video_codec: (none)\naudio_codec: (none)\nstream_id: (none)\n"
              "selected_stream_name: (none)\nlinked_account_email: (none)\n"
              "linked_account_name: (none)\nhealth: Unlinked\nhealth_detail: Needs setup\n"
              "output_status: Idle\nsession_runtime: Offline\nlast_upload_age: never\n"
              "current_sequence: 0\npackets total/video/audio: 0/0/0\ndropped_mux_packets: 0\n"
              "upload_queue_depth: 0\nauth_failed: no\ncache_bytes: 0\ncache_segments: 0\n"
              "cache_max_bytes: 0\ncache_evictions_total: 0\ncache_evictions_unuploaded: 0\n"
              "last_error: (none)\n");

    RyvoPluginStatusSnapshot live;
    live.attached = true;
    live.has_runtime_credentials = true;
    live.runtime_mode = static_cast<std::uint32_t>(RuntimeMode::full);
    live.capture_mode = CaptureMode::either;
    live.output_label = "ryvo_stream";
    live.runtime_status.streaming = true;
    live.runtime_status.connected = true;
    live.runtime_status.started_at = now - std::chrono::seconds(3725);
    live.runtime_status.last_upload_at = now - std::chrono::seconds(5);
    live.runtime_status.current_sequence = -3;
    live.runtime_status.last_error = "Ryvo ingest unreachable";
    live.packets = 30;
    live.video_packets = 20;
    live.audio_packets = 10;
    live.cache_status.last_evicted_sequence = 7;
    const std::string text = diagnostic_status_text(live, now);
    EXPECT_EQ(line_of(text, "runtime_mode"), "runtime_mode: full");
    EXPECT_EQ(line_of(text, "capture_mode"), "capture_mode: either");
    EXPECT_EQ(line_of(text, "output_label"), "output_label: ryvo_stream");
    EXPECT_EQ(line_of(text, "health:"), "health: Linked");
    EXPECT_EQ(line_of(text, "health_detail"), "health_detail: Streaming");
    EXPECT_EQ(line_of(text, "output_status"), "output_status: Ryvo Stream");
    EXPECT_EQ(line_of(text, "session_runtime"), "session_runtime: 01:02:05");
    EXPECT_EQ(line_of(text, "last_upload_age"), "last_upload_age: 5s ago");
    EXPECT_EQ(line_of(text, "current_sequence"), "current_sequence: -3");
    EXPECT_EQ(line_of(text, "packets"), "packets total/video/audio: 30/20/10");
    EXPECT_TRUE(
        text.ends_with("cache_evictions_unuploaded: 0\ncache_last_evicted_sequence: 7\n"
                       "last_error: Ryvo ingest unreachable\n"))
        << text;

    live.cache_status.last_evicted_sequence = 0;
    EXPECT_EQ(diagnostic_status_text(live, now).find("cache_last_evicted_sequence"),
              std::string::npos);
}

}  // namespace
}  // namespace ryvoobs

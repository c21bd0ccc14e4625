#include "diagnostics/diagnostic_bundle.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "api/ingest_requests.h"
#include "diagnostics/bundle_to_desktop.h"
#include "diagnostics/diagnostic_inputs.h"
#include "diagnostics/diagnostic_status_text.h"
#include "diagnostics/obs_log_tail.h"
#include "isolated_home.h"
#include "platform/desktop_directory.h"
#include "platform/file_system.h"
#include "temporary_directory.h"

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
    // U+10FFFF, the last code point, is text; an encoded surrogate is not, and a file that no
    // text reading can show is left out rather than mangled.
    std::ofstream(home.file(".config/obs-studio/logs/2026-01-02 03-04-05.txt"))
        << "line \xF4\x8F\xBF\xBF\n";
    std::ofstream(home.file(".config/Ryvo/obs-plugin.json"), std::ios::app) << "\xED\xA0\x80";
    const DiagnosticBundleInputs found = gather_diagnostic_inputs({});
    EXPECT_EQ(found.config_json, "");
    EXPECT_EQ(found.state_json, "{\"seq\": 1}");
    EXPECT_EQ(found.log_tail, "line \xF4\x8F\xBF\xBF\n");
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
        {"runtime_mode", "tap_only", "full"},
        {"capture_mode", "streaming", "either"},
        {"attached", "no", "yes"},
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

void write_log(const testing::TemporaryDirectory& dir, const std::string& name,
               const std::string& text, std::chrono::seconds age) {
    std::ofstream(dir.file(name), std::ios::binary) << text;
    std::filesystem::last_write_time(dir.file(name),
                                     std::filesystem::file_time_type::clock::now() - age);
}

std::string numbered_lines(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    return text;
}

TEST(ObsLogTail, KeepsTheLastTwoHundredLinesOfTheNewestTextLog) {
    testing::TemporaryDirectory logs;
    EXPECT_EQ(read_obs_log_tail(logs.file("missing")), "");

    write_log(logs, "2026-01-01 10-00-00.txt", "old\n", std::chrono::hours(2));
    write_log(logs, "2026-01-02 10-00-00.txt", numbered_lines(1, 1000), std::chrono::hours(1));
    // Newer, but not an OBS log.
    write_log(logs, "crash.log", "crash\n", std::chrono::seconds(0));
    std::filesystem::create_directory(logs.file("newer.txt.d"));
    EXPECT_EQ(read_obs_log_tail(logs.path()), numbered_lines(801, 1000));
}

TEST(ObsLogTail, CutsAfterTheTwoHundredthLineFeedFromTheEnd) {
    EXPECT_EQ(last_lines(numbered_lines(1, 300) + "partial", 200),
              numbered_lines(102, 300) + "partial");
    EXPECT_EQ(last_lines("\n\n\n", 2), "\n\n");
}

TEST(DesktopDirectory, FollowsUserDirsWhenItNamesAUsablePath) {
    testing::IsolatedHome home;
    EXPECT_EQ(desktop_directory(), home.file("Desktop"));
    std::filesystem::create_directories(home.file(".config"));
    const auto user_dirs = [&](const std::string& text) {
        std::ofstream(home.file(".config/user-dirs.dirs")) << text;
        return desktop_directory();
    };
    EXPECT_EQ(user_dirs("# XDG_DESKTOP_DIR=\"/nope\"\nXDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n"),
              home.file("Schreib tisch"));
    EXPECT_EQ(user_dirs("XDG_DESKTOP_DIR=\"/srv/desk\\\"top\"\n"), "/srv/desk\"top");
    for (const char* unusable :
         {"XDG_DESKTOP_DIR=\"relative/desk\"\n", "XDG_DESKTOP_DIR=\"$HOMEWORK/desk\"\n",
          "XDG_DESKTOP_DIR=\"/unterminated\n"}) {
        EXPECT_EQ(user_dirs(unusable), home.file("Desktop")) << unusable;
    }
}

TEST(WriteBundleToDesktop, WritesAnOwnerOnlyFileIntoTheDesktopOrSaysWhyNot) {
    testing::IsolatedHome home;
    std::string path;
    std::string error;
    ASSERT_TRUE(write_bundle_to_desktop("bundle \u2014 text\n", &path, &error));
    const std::string name = std::filesystem::path(path).filename();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), home.file("Desktop"));
    EXPECT_TRUE(name.starts_with("ryvo-diagnostics-") && name.ends_with(".txt")) << name;
    EXPECT_EQ(read_whole_file(path, nullptr), "bundle \u2014 text\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    std::filesystem::remove_all(home.file("Desktop"));
    std::ofstream(home.file("Desktop")) << "a file where the Desktop should be";
    EXPECT_FALSE(write_bundle_to_desktop("bundle", &path, &error));
    EXPECT_EQ(error, "Could not write diagnostic bundle: Not a directory");
}

}  // namespace
}  // namespace ryvoobs

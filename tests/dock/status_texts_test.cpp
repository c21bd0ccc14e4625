#include "dock/status_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace ryvoobs {
namespace {

using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

const WallClockTime kNow = WallClockTime(std::chrono::duration_cast<microseconds>(hours(500000)));

RyvoPluginStatusSnapshot portal_linked() {
    RyvoPluginStatusSnapshot s;
    s.has_runtime_credentials = true;
    return s;
}

TEST(StatusTexts, HealthTakesTheFirstConditionThatHolds) {
    RyvoPluginStatusSnapshot s = portal_linked();
    s.enabled = false;
    s.active_service_is_ryvo = true;
    s.runtime_status.auth_failed = true;
    s.has_pending_portal_link = true;
    s.finishing_deliveries = 2;
    s.finishing_segments = 4;
    EXPECT_EQ(health_text(s), "Action needed");
    s.active_service_is_ryvo = false;
    EXPECT_EQ(health_text(s), "Disabled");
    s.enabled = true;
    EXPECT_EQ(health_text(s), "Auth failed");
    s.runtime_status.auth_failed = false;
    EXPECT_EQ(health_text(s), "Finishing: 4 segments to deliver");
    s.finishing_segments = 1;
    EXPECT_EQ(health_text(s), "Finishing: 1 segment to deliver");
    s.finishing_deliveries = 0;
    EXPECT_EQ(health_text(s), "Pending");
    s.has_pending_portal_link = false;
    EXPECT_EQ(health_text(s), "Linked");
    s.auth_mode = static_cast<std::int32_t>(AuthMode::manual);
    EXPECT_EQ(health_text(s), "Configured");
    s.has_runtime_credentials = false;
    EXPECT_EQ(health_text(s), "Unlinked");
}

TEST(StatusTexts, LinkDetailFollowsTheSessionFromSetupToStreaming) {
    RyvoPluginStatusSnapshot s;
    EXPECT_EQ(link_status_detail(s), "Needs setup");
    s = portal_linked();
    EXPECT_EQ(link_status_detail(s), "Portal-linked");
    s.attached = true;
    EXPECT_EQ(link_status_detail(s), "Starting session");
    s.packets = 1;
    EXPECT_EQ(link_status_detail(s), "Preparing upload");
    s.runtime_status.last_upload_at = kNow;
    EXPECT_EQ(link_status_detail(s), "Streaming");
    s.runtime_status.auth_failed = true;
    EXPECT_EQ(link_status_detail(s), "API key rejected \u2014 rotate in the Ryvo dashboard");
}

TEST(StatusTexts, OutputTextsNameTheTappedOutput) {
    RyvoPluginStatusSnapshot s;
    EXPECT_EQ(output_status_text(s), "Idle");
    EXPECT_EQ(attached_output_text(s), "none (no)");
    s.attached = true;
    s.output_label = "recording";
    EXPECT_EQ(output_status_text(s), "recording");
    EXPECT_EQ(attached_output_text(s), "recording (yes)");
    s.capture_mode = CaptureMode::recording;
    EXPECT_EQ(output_status_text(s), "Ryvo-only");
    EXPECT_EQ(attached_output_text(s), "Ryvo-only capture (yes)");
    s.output_label = "ryvo_stream";
    EXPECT_EQ(output_status_text(s), "Ryvo Stream");
    EXPECT_EQ(attached_output_text(s), "Ryvo Stream output (yes)");
}

TEST(StatusTexts, AccountAndStreamTextsTrimAndFallBack) {
    RyvoPluginStatusSnapshot s;
    EXPECT_EQ(linked_account_text(s), "not linked");
    EXPECT_EQ(target_stream_text(s), "none");
    s.linked_account_name = " \t Ada \r\n";
    EXPECT_EQ(linked_account_text(s), "Ada");
    s.linked_account_email = "ada@example.com ";
    EXPECT_EQ(linked_account_text(s), "Ada <ada@example.com>");
    s.stream_id = " abc ";
    EXPECT_EQ(target_stream_text(s), "abc");
    s.selected_stream_name = "Main";
    EXPECT_EQ(target_stream_text(s), "Main (abc)");
}

TEST(StatusTexts, RuntimeAndAgeChangeUnitsAtTheMinuteAndTheHour) {
    const struct {
        microseconds ago;
        const char* runtime;
        const char* age;
    } cases[] = {
        {seconds(42) + microseconds(999999), "00:42", "42s ago"}, {seconds(60), "01:00", "1m ago"},
        {minutes(59) + seconds(59), "59:59", "59m ago"},          {hours(1), "01:00:00", "1h ago"},
        {hours(100) + seconds(5), "100:00:05", "100h ago"},       {-seconds(3), "00:00", "-3s ago"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_runtime(kNow - c.ago, kNow), c.runtime) << c.runtime;
        EXPECT_EQ(format_age(kNow - c.ago, kNow), c.age) << c.age;
    }
    EXPECT_EQ(format_runtime(std::nullopt, kNow), "Offline");
    EXPECT_EQ(format_age(std::nullopt, kNow), "never");
}

TEST(StatusTexts, CachePercentIsClampedAndTruncatedAndMegabytesHaveOneDecimal) {
    EXPECT_EQ(cache_percent(100, 0), 0);
    EXPECT_EQ(cache_percent(150ULL << 20, 100ULL << 20), 100);
    EXPECT_EQ(cache_percent(999, 1000), 99);
    EXPECT_EQ(format_megabytes(1572864), "1.5 MB");
}

}  // namespace
}  // namespace ryvoobs

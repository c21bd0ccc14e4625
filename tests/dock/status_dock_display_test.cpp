#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include "capture/obs_test_support.h"
#include "config/config_file.h"
#include "dock/status_dock_widget_qt.h"
#include "dock_test_support.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

using testing::text_of;

class StatusDockDisplay : public ::testing::Test {
  protected:
    void SetUp() override { dock_.show(); }

    testing::IsolatedHome home_;
    testing::FakeFrontend frontend_;
    RyvoStatusDockWidget dock_;
};

TEST_F(StatusDockDisplay, DisabledWithTheRyvoServiceStillSelectedAsksForAction) {
    RyvoPluginStatusSnapshot s;
    s.enabled = false;
    s.active_service_is_ryvo = true;
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.summary_label),
              "Ryvo is off and is not capturing packets, but OBS still has the Ryvo service "
              "selected. Choose a regular service in OBS Settings > Stream before direct "
              "streaming.");
    EXPECT_EQ(text_of(dock_.link_value), "Action needed");
    EXPECT_EQ(text_of(dock_.link_detail), "Select a regular OBS streaming service");
    EXPECT_EQ(text_of(dock_.output_value), "Restore destination");
    EXPECT_EQ(text_of(dock_.output_detail), "no capture; Ryvo service still selected");
    EXPECT_EQ(dock_.toggle_button->text().toStdString(), "Turn Ryvo On");
}

TEST_F(StatusDockDisplay, ManualUnlinkedOffersThePortalAndHidesTheDetails) {
    RyvoPluginStatusSnapshot s;
    s.auth_mode = static_cast<std::int32_t>(AuthMode::manual);
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.link_value), "Unlinked");
    EXPECT_EQ(text_of(dock_.link_detail), "Needs setup");
    EXPECT_TRUE(dock_.portal_frame->isVisible());
    EXPECT_TRUE(dock_.link_button->isVisible());
    EXPECT_FALSE(dock_.relink_button->isVisible());
    EXPECT_FALSE(dock_.account_label->isVisible());
    EXPECT_FALSE(dock_.manual_frame->isVisible());
    EXPECT_FALSE(dock_.traffic_section->isVisible());
    EXPECT_FALSE(dock_.buffer_section->isVisible());
    EXPECT_TRUE(dock_.runtime_section->isVisible());
    EXPECT_EQ(text_of(dock_.cache_value), "0%");
    EXPECT_EQ(text_of(dock_.cache_detail), "0.0 MB of 0.0 MB");
    EXPECT_EQ(text_of(dock_.runtime_value), "Offline");
    EXPECT_EQ(text_of(dock_.runtime_detail), "Waiting for next OBS session");
}

TEST_F(StatusDockDisplay, PendingLinkShowsTheCodeInAmber) {
    RyvoPluginStatusSnapshot s;
    s.has_pending_portal_link = true;
    s.portal_link_verification_code = "K7QF-2M";
    s.portal_link_verification_url = "https://portal.example/link";
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.link_value), "Pending");
    EXPECT_TRUE(dock_.verification_code_label->isVisible());
    EXPECT_EQ(text_of(dock_.verification_code_label), "K7QF-2M");
    EXPECT_TRUE(dock_.copy_code_button->isVisible());
    EXPECT_TRUE(dock_.cancel_link_button->isVisible());
    EXPECT_EQ(dock_.open_portal_button->text().toStdString(), "Open Link Page");
    EXPECT_FALSE(dock_.link_button->isVisible());
    EXPECT_EQ(text_of(dock_.portal_message_label),
              "In the browser, enter code K7QF-2M, choose the stream, and approve. Keep OBS "
              "open; the selection updates automatically.");
    EXPECT_NE(dock_.portal_message_label->styleSheet().indexOf("#ffd38a"), -1);
}

TEST_F(StatusDockDisplay, AttachedSessionLocksTheStreamSelection) {
    RyvoPluginStatusSnapshot s;
    s.has_runtime_credentials = true;
    s.attached = true;
    s.output_label = "streaming";
    s.packets = 30;
    s.video_packets = 20;
    s.audio_packets = 10;
    s.cache_status.total_bytes = 150ULL << 20;
    s.cache_status.max_bytes = 100ULL << 20;
    s.runtime_status.started_at = wall_clock_now();
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.summary_label),
              "Ryvo is attached. Stream selection is locked for this live session.");
    EXPECT_FALSE(dock_.portal_frame->isVisible());
    EXPECT_FALSE(dock_.relink_button->isVisible());
    EXPECT_TRUE(dock_.traffic_section->isVisible());
    EXPECT_EQ(text_of(dock_.packets_row), "total=30  video=20  audio=10");
    EXPECT_EQ(text_of(dock_.cache_value), "100%");
    EXPECT_EQ(dock_.cache_progress->value(), 100);
    EXPECT_EQ(text_of(dock_.runtime_detail), "Buffering first upload");
    EXPECT_EQ(text_of(dock_.capture_mode_row), "streaming");

    s.attached = false;
    dock_.refresh_from(s);
    EXPECT_TRUE(dock_.relink_button->isVisible());
    EXPECT_EQ(dock_.relink_button->text(), QString::fromUtf8("Change Stream\u2026"));
}

TEST_F(StatusDockDisplay, SectionsOpenAsBuiltAndToggleOnClick) {
    dock_.refresh_from(RyvoPluginStatusSnapshot{});
    const auto toggle_text = [](QFrame* section) {
        return section->findChild<QToolButton*>()->text().toStdString();
    };
    EXPECT_EQ(toggle_text(dock_.runtime_section), "Hide");
    EXPECT_TRUE(dock_.account_row->isVisible());
    for (QFrame* section : {dock_.traffic_section, dock_.buffer_section, dock_.support_section}) {
        EXPECT_TRUE(section->isVisible());
        EXPECT_EQ(toggle_text(section), "Show");
    }
    EXPECT_FALSE(dock_.packets_row->isVisible());
    EXPECT_FALSE(dock_.cache_row->isVisible());
    EXPECT_FALSE(dock_.diagnostics_button->isVisible());

    QToolButton* toggle = dock_.support_section->findChild<QToolButton*>();
    toggle->click();
    EXPECT_EQ(toggle->text().toStdString(), "Hide");
    EXPECT_EQ(toggle->arrowType(), Qt::DownArrow);
    EXPECT_TRUE(dock_.diagnostics_button->isVisible());
    toggle->click();
    EXPECT_EQ(toggle->text().toStdString(), "Show");
    EXPECT_EQ(toggle->arrowType(), Qt::RightArrow);
    EXPECT_FALSE(dock_.diagnostics_button->isVisible());
}

// The result of an action must stay readable after the refresh that follows it.
TEST_F(StatusDockDisplay, TurningOffWithoutAConfigurationWritesADisabledOneAndSaysSo) {
    dock_.refresh();
    ASSERT_EQ(dock_.toggle_button->text().toStdString(), "Turn Ryvo Off");
    dock_.toggle_button->click();
    EXPECT_EQ(text_of(dock_.feedback_label), "Ryvo disabled for future OBS sessions");
    EXPECT_TRUE(dock_.feedback_label->isVisible());
    EXPECT_EQ(dock_.toggle_button->text().toStdString(), "Turn Ryvo On");
    const std::optional<PluginConfig> config = read_config_file(default_config_path(), nullptr);
    ASSERT_TRUE(config);
    EXPECT_FALSE(config->enabled);
}

TEST_F(StatusDockDisplay, AConfigurationThatCannotBeUsedSaysWhyAsTheLastError) {
    dock_.refresh();
    EXPECT_EQ(text_of(dock_.last_error_row), "none");
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.api_endpoint = "http://ingest.invalid";
    ASSERT_TRUE(save_config_file(default_config_path(), config, nullptr));
    dock_.refresh();
    EXPECT_EQ(text_of(dock_.last_error_row), kClearTextEndpointMessage);
}

}  // namespace
}  // namespace ryvoobs

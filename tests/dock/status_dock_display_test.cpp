#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "capture/obs_test_support.h"
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

// Linking is offered while unlinked, the code while a link is pending, and changing the stream
// never during a live session.
TEST_F(StatusDockDisplay, TheLinkControlsFollowTheLinkAndTheSession) {
    RyvoPluginStatusSnapshot s;
    s.auth_mode = static_cast<std::int32_t>(AuthMode::manual);
    dock_.refresh_from(s);
    EXPECT_TRUE(dock_.link_button->isVisible());
    EXPECT_FALSE(dock_.relink_button->isVisible());

    s = RyvoPluginStatusSnapshot{};
    s.has_pending_portal_link = true;
    s.portal_link_verification_code = "K7QF-2M";
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.verification_code_label), "K7QF-2M");
    EXPECT_TRUE(dock_.cancel_link_button->isVisible());
    EXPECT_EQ(text_of(dock_.portal_message_label),
              "In the browser, enter code K7QF-2M, choose the stream, and approve. Keep OBS "
              "open; the selection updates automatically.");

    s = RyvoPluginStatusSnapshot{};
    s.has_runtime_credentials = true;
    s.attached = true;
    dock_.refresh_from(s);
    EXPECT_EQ(text_of(dock_.summary_label),
              "Ryvo is attached. Stream selection is locked for this live session.");
    EXPECT_FALSE(dock_.relink_button->isVisible());
    s.attached = false;
    dock_.refresh_from(s);
    EXPECT_TRUE(dock_.relink_button->isVisible());
}

}  // namespace
}  // namespace ryvoobs

// The portal-link flow of the dock against the dev server, with the API key going to the private
// Secret Service of the test wrapper.
#include <sys/stat.h>

#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>

#include "config/config_file.h"
#include "config/keychain_store.h"
#include "dev_server_process.h"
#include "dock/status_dock_widget_qt.h"
#include "dock_test_support.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

using testing::pump_until;
using testing::text_of;

constexpr const char* kExpired =
    "Portal sign-in expired. Click Link with Ryvo Portal to try again.";

class StatusDockLinkFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("RYVO_PRIVATE_KEYRING"), nullptr) << "run under with-keyring.sh";
        // The verification page goes to a stand-in opener that only records it.
        const std::string opener = home_.file("bin/xdg-open");
        std::filesystem::create_directories(home_.file("bin"));
        std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << home_.file("opened")
                              << "'\n";
        chmod(opener.c_str(), 0755);
        saved_path_ = std::getenv("PATH");
        setenv("PATH", (home_.file("bin") + ":" + saved_path_).c_str(), 1);
        // A portal-linked install always talks to the built-in endpoint: here, the dev server.
        setenv("RYVO_DEFAULT_API_ENDPOINT", server_.base_url().c_str(), 1);

        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.api_endpoint = server_.base_url();
        std::string error;
        ASSERT_TRUE(save_config_file(default_config_path(), config, &error)) << error;
        dock_ = std::make_unique<RyvoStatusDockWidget>();
        dock_->show();
    }
    void TearDown() override {
        dock_.reset();
        setenv("PATH", saved_path_.c_str(), 1);
        unsetenv("RYVO_DEFAULT_API_ENDPOINT");
    }

    // Clicks "Link with Portal" (manual mode) or the relink button (portal mode) and returns the
    // code the dock shows.
    std::string start_link() {
        QPushButton* button =
            dock_->link_button->isVisible() ? dock_->link_button : dock_->relink_button;
        EXPECT_TRUE(button->isVisible());
        button->click();
        const std::string code = text_of(dock_->verification_code_label);
        EXPECT_EQ(text_of(dock_->feedback_label), "Opened Ryvo Portal with code " + code);
        EXPECT_EQ(text_of(dock_->link_value), "Pending");
        EXPECT_TRUE(dock_->verification_code_label->isVisible());
        return code;
    }

    PluginConfig saved_config() {
        return read_config_file(default_config_path(), nullptr).value_or(PluginConfig{});
    }

    testing::IsolatedHome home_;
    testing::FakeFrontend frontend_;
    test_support::DevServerProcess server_;
    std::string saved_path_;
    std::unique_ptr<RyvoStatusDockWidget> dock_;
};

TEST_F(StatusDockLinkFlow, ApprovalIsTakenByALaterPollAndTheKeyGoesToTheSecretService) {
    const std::string code = start_link();
    ASSERT_FALSE(code.empty());
    server_.control("link", {{"action", "approve"}, {"code", code}, {"stream", "stream-1"}});
    ASSERT_TRUE(pump_until([&] { return text_of(dock_->link_value) == "Linked"; }))
        << text_of(dock_->feedback_label);
    EXPECT_EQ(text_of(dock_->feedback_label), "Ryvo stream selection updated");
    EXPECT_FALSE(dock_->cancel_link_button->isVisible());

    std::ifstream file(default_config_path());
    const nlohmann::json saved = nlohmann::json::parse(file);
    EXPECT_EQ(saved.at("stream_id"), "stream-1");
    EXPECT_EQ(saved.at("api_key"), "");
    EXPECT_EQ(saved.at("portal_link_session_id"), "");
    const PluginConfig config = saved_config();
    std::string error;
    const std::optional<std::string> key = load_api_key_from_keychain(
        default_api_key_service(), default_api_key_account(config), &error);
    ASSERT_TRUE(key) << error;
    EXPECT_FALSE(key->empty());
    EXPECT_EQ(*key, config.api_key);
    // Saving brought OBS's streaming service in line with the new link.
    ASSERT_NE(frontend_.streaming_service(), nullptr);
    EXPECT_STREQ(obs_service_get_id(frontend_.streaming_service()), "ryvo_stream_service");

    std::ifstream opened(home_.file("opened"));
    std::string url;
    std::getline(opened, url);
    EXPECT_NE(url.find(code), std::string::npos) << url;
}

TEST_F(StatusDockLinkFlow, APollStillRunningWhenTheLinkIsCancelledIsIgnored) {
    server_.control("faults", {{"kind", "link_poll"}, {"action", "delay"}, {"delay_ms", 1500}});
    start_link();
    ASSERT_TRUE(dock_->portal_poll_in_flight());
    dock_->cancel_link_button->click();
    EXPECT_EQ(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    // The late answer is the service's "cancelled", which would otherwise replace the message.
    ASSERT_TRUE(pump_until([&] { return !dock_->portal_poll_in_flight(); }));
    EXPECT_EQ(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    EXPECT_TRUE(saved_config().portal_link_session_id.empty());
    EXPECT_TRUE(dock_->relink_button->isVisible());
}

// The link client reports a 2xx without a body as a failure; the service has agreed all the same.
TEST_F(StatusDockLinkFlow, ACancelAnsweredWithoutABodyStillEndsTheLink) {
    start_link();
    server_.control("faults", {{"kind", "link_cancel"}, {"status", 204}, {"body", ""}});
    dock_->cancel_link_button->click();
    EXPECT_EQ(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    EXPECT_TRUE(saved_config().portal_link_session_id.empty());

    start_link();
    server_.control("faults", {{"kind", "link_cancel"}, {"status", 409}});
    dock_->cancel_link_button->click();
    EXPECT_NE(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    EXPECT_FALSE(saved_config().portal_link_session_id.empty());
}

TEST_F(StatusDockLinkFlow, ARejectedPollTokenEndsTheLink) {
    const std::string code = start_link();
    server_.control("link", {{"action", "reject_polls"}, {"code", code}});
    ASSERT_TRUE(pump_until([&] { return text_of(dock_->feedback_label) == kExpired; }))
        << text_of(dock_->feedback_label);
    EXPECT_TRUE(saved_config().portal_link_session_id.empty());
    EXPECT_EQ(text_of(dock_->link_value), "Unlinked");
}

TEST_F(StatusDockLinkFlow, DestroyingTheDockWithAPollInFlightDropsTheResult) {
    server_.control("faults", {{"kind", "link_poll"}, {"action", "delay"}, {"delay_ms", 1000}});
    start_link();
    ASSERT_TRUE(dock_->portal_poll_in_flight());
    dock_.reset();
    ASSERT_TRUE(pump_until([] { return running_portal_polls() == 0; }));
    // The queued result is delivered now, to a dock that is gone.
    QApplication::processEvents();
    EXPECT_FALSE(saved_config().portal_link_session_id.empty());
}

}  // namespace
}  // namespace ryvoobs

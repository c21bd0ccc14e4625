#include <sys/stat.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "config/config_file.h"
#include "config/keychain_store.h"
#include "dev_server_process.h"
#include "dock/status_dock_widget_qt.h"
#include "dock_test_support.h"
#include "isolated_home.h"
#include "keyring_lock.h"
#include "platform/file_system.h"

namespace ryvoobs {
namespace {

using testing::pump_until;
using testing::refresh_until;
using testing::text_of;

constexpr const char* kExpired =
    "Portal sign-in expired. Click Link with Ryvo Portal to try again.";
constexpr const char* kUnreadable = "Could not read the Ryvo settings: ";

class StatusDockLinkFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("RYVO_PRIVATE_KEYRING"), nullptr) << "run under with-keyring.sh";
        // The verification page goes to a stand-in opener that only records it.
        const std::string opener = home_.file("bin/xdg-open");
        std::filesystem::create_directories(home_.file("bin"));
        std::ofstream(opener) << "#!/bin/sh\necho \"$1\" >> '" << home_.file("opened") << "'\n";
        chmod(opener.c_str(), 0755);

        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.api_endpoint = server_.base_url();
        std::string error;
        ASSERT_TRUE(save_config_file(default_config_path(), config, &error)) << error;
        dock_ = std::make_unique<RyvoStatusDockWidget>();
        dock_->show();
    }

    // Clicks "Link with Portal" (manual mode) or the relink button (portal mode) and returns the
    // code the dock shows.
    std::string start_link() {
        QPushButton* button =
            dock_->link_button->isVisible() ? dock_->link_button : dock_->relink_button;
        EXPECT_TRUE(button->isVisible());
        button->click();
        EXPECT_TRUE(pump_until([&] { return !dock_->link_request_in_flight(); }));
        const std::string code = text_of(dock_->verification_code_label);
        EXPECT_EQ(text_of(dock_->feedback_label), "Opened Ryvo Portal with code " + code);
        EXPECT_EQ(text_of(dock_->link_value), "Pending");
        EXPECT_TRUE(dock_->verification_code_label->isVisible());
        return code;
    }

    void cancel_link() {
        dock_->cancel_link_button->click();
        EXPECT_TRUE(pump_until([&] { return !dock_->link_request_in_flight(); }));
    }

    PluginConfig saved_config() {
        return read_config_file(default_config_path(), nullptr, KeyStorage::credential_store)
            .value_or(PluginConfig{});
    }

    testing::IsolatedHome home_;
    testing::FakeFrontend frontend_;
    test_support::DevServerProcess server_;
    testing::ScopedEnv path_{"PATH", home_.file("bin") + ":" + std::getenv("PATH")};
    // A portal-linked install always talks to the built-in endpoint: here, the dev server.
    testing::ScopedEnv endpoint_{"RYVO_DEFAULT_API_ENDPOINT", server_.base_url()};
    std::unique_ptr<RyvoStatusDockWidget> dock_;
};

std::string file_bytes() {
    return read_whole_file(default_config_path(), nullptr).value_or("");
}

// Replaces the file under a new inode, as an editor or a save would.
void replace_file(const std::string& bytes) {
    const std::string replacement = default_config_path() + ".new";
    std::ofstream(replacement, std::ios::binary) << bytes;
    std::filesystem::rename(replacement, default_config_path());
}

// A portal-linked install in the middle of a relink, its key in the Secret Service: every action
// has something to change.
PluginConfig linked_with_pending_link() {
    PluginConfig config;
    config.stream_id = "stream-1";
    config.api_key_id = "key-1";
    config.api_key = "secret-1";
    config.portal_link_session_id = "session-1";
    config.portal_link_poll_token = "token-1";
    config.portal_link_verification_code = "CODE-1";
    config.portal_link_verification_url = "http://127.0.0.1:9/link";
    return config;
}

TEST_F(StatusDockLinkFlow, ApprovalIsTakenByALaterPollAndTheKeyGoesToTheSecretService) {
    const std::string code = start_link();
    ASSERT_FALSE(code.empty());
    server_.control("link", {{"action", "approve"}, {"code", code}, {"stream", "stream-1"}});
    ASSERT_TRUE(pump_until([&] { return text_of(dock_->link_value) == "Linked"; }))
        << text_of(dock_->feedback_label);
    EXPECT_EQ(text_of(dock_->feedback_label), "Ryvo stream selection updated");
    EXPECT_EQ(nlohmann::json::parse(file_bytes()).at("api_key"), "");
    const PluginConfig config = saved_config();
    EXPECT_EQ(config.stream_id, "stream-1");
    EXPECT_FALSE(config.api_key.empty()) << "read back from the Secret Service";
    ASSERT_NE(frontend_.streaming_service(), nullptr);
    EXPECT_STREQ(obs_service_get_id(frontend_.streaming_service()), "ryvo_stream_service");
    EXPECT_NE(read_whole_file(home_.file("opened"), nullptr)->find(code), std::string::npos);
}

TEST_F(StatusDockLinkFlow, APollStillRunningWhenTheLinkIsCancelledIsIgnored) {
    server_.control("faults", {{"kind", "link_poll"}, {"action", "delay"}, {"delay_ms", 1500}});
    start_link();
    ASSERT_TRUE(dock_->portal_poll_in_flight());
    cancel_link();
    EXPECT_EQ(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    // The late answer is the service's "cancelled", which would otherwise replace the message.
    ASSERT_TRUE(pump_until([&] { return !dock_->portal_poll_in_flight(); }));
    EXPECT_EQ(text_of(dock_->feedback_label), "Cancelled Ryvo Portal link");
    EXPECT_TRUE(saved_config().portal_link_session_id.empty());
}

TEST_F(StatusDockLinkFlow, TheServiceRefusingThePollTokenEndsTheLink) {
    server_.control("link", {{"action", "reject_polls"}, {"code", start_link()}});
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
    ASSERT_TRUE(pump_until([] { return running_link_requests() == 0; }));
    // The queued result is delivered now, to a dock that is gone.
    QApplication::processEvents();
    EXPECT_FALSE(saved_config().portal_link_session_id.empty());
}

TEST_F(StatusDockLinkFlow, UnreadableSettingsAreShownAndNeverSavedOver) {
    std::string error;
    ASSERT_TRUE(save_config_file(default_config_path(), linked_with_pending_link(), &error,
                                 KeyStorage::credential_store))
        << error;
    const std::string linked = file_bytes();
    std::string typo = linked;
    typo.replace(typo.find("\"portal\""), 8, "\"Portal\"");
    const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string runtime_dir = std::getenv("XDG_RUNTIME_DIR");

    struct Case {
        const char* name;
        std::string bytes;
        std::function<void()> break_it;
        std::function<void()> mend_it;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"bad value", typo, [] {}, [] {}, "auth_mode must be manual or portal"},
        {"no bus", linked,
         [] {
             unsetenv("DBUS_SESSION_BUS_ADDRESS");
             unsetenv("XDG_RUNTIME_DIR");
         },
         [&] {
             setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
             setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
         },
         "no D-Bus session bus is available"},
        {"locked keyring", linked, [] { testing::set_login_collection_locked(true); },
         [] { testing::set_login_collection_locked(false); }, "is locked"},
    };
    PortalPollOutcome expired;
    expired.http_status = 401;
    expired.session_id = "session-1";
    const std::vector<std::pair<const char*, std::function<void()>>> actions = {
        {"toggle", [&] { dock_->toggle_button->click(); }},
        {"save stream id", [&] { dock_->save_button->click(); }},
        {"link", [&] { dock_->link_button->click(); }},
        {"cancel", [&] { dock_->cancel_link_button->click(); }},
        {"copy code", [&] { dock_->copy_code_button->click(); }},
        {"open page", [&] { dock_->open_portal_button->click(); }},
        {"poll answer", [&] { dock_->apply_portal_poll(expired); }},
    };
    dock_->stream_id_edit->setText("stream-2");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.break_it();
        replace_file(c.bytes);
        ASSERT_TRUE(pump_until([&] {
            dock_->refresh();
            return text_of(dock_->summary_label).find(c.reason) != std::string::npos;
        }));
        EXPECT_EQ(text_of(dock_->link_value), "Settings error");
        EXPECT_TRUE(text_of(dock_->summary_label).starts_with(kUnreadable));
        for (const auto& [action, click] : actions) {
            SCOPED_TRACE(action);
            dock_->feedback_label->clear();
            click();
            EXPECT_FALSE(dock_->link_request_in_flight());
            const std::string feedback = text_of(dock_->feedback_label);
            EXPECT_TRUE(feedback.find(kUnreadable) != std::string::npos &&
                        feedback.find(c.reason) != std::string::npos)
                << feedback;
            EXPECT_EQ(file_bytes(), c.bytes);
        }
        c.mend_it();
    }
    // Mended, the same file reads again and the install shows as it is.
    dock_->toggle_button->click();
    EXPECT_EQ(text_of(dock_->feedback_label), "Ryvo disabled for future OBS sessions");
}

TEST_F(StatusDockLinkFlow, AnIdleLinkedDockLeavesTheSecretServiceAloneAndASaveAsksItOnce) {
    PluginConfig config = linked_with_pending_link();
    config.portal_link_session_id.clear();
    config.portal_link_poll_token.clear();
    std::string error;
    ASSERT_TRUE(
        save_config_file(default_config_path(), config, &error, KeyStorage::credential_store))
        << error;
    ASSERT_TRUE(refresh_until(*dock_, dock_->link_value, "Linked"));
    const std::uint64_t before = credential_store_calls();
    for (int i = 0; i < 30; ++i) {
        dock_->refresh();
    }
    EXPECT_EQ(credential_store_calls(), before);
    dock_->toggle_button->click();
    EXPECT_EQ(text_of(dock_->feedback_label), "Ryvo disabled for future OBS sessions");
    EXPECT_EQ(credential_store_calls(), before + 1);
}

TEST_F(StatusDockLinkFlow, TheLinkControlsFollowTheLinkAndTheSession) {
    RyvoPluginStatusSnapshot s;
    s.has_pending_portal_link = true;
    s.portal_link_verification_code = "K7QF-2M";
    dock_->refresh_from(s);
    EXPECT_EQ(text_of(dock_->portal_message_label),
              "In the browser, enter code K7QF-2M, choose the stream, and approve. Keep OBS "
              "open; the selection updates automatically.");
    s = RyvoPluginStatusSnapshot{};
    s.has_runtime_credentials = true;
    s.attached = true;
    dock_->refresh_from(s);
    EXPECT_EQ(text_of(dock_->summary_label),
              "Ryvo is attached. Stream selection is locked for this live session.");
    EXPECT_FALSE(dock_->relink_button->isVisible());
    s.attached = false;
    dock_->refresh_from(s);
    EXPECT_TRUE(dock_->relink_button->isVisible());
}

}  // namespace
}  // namespace ryvoobs

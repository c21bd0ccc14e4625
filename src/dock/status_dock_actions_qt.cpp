// The dock's buttons and the portal-link flow. Everything runs on the Qt main thread except the
// portal's requests (start, poll, cancel), which work on copies and hand their outcome back
// through a queued call. Every change of the settings is read, changed and saved through the
// plug-in's configuration store, which refuses to save over settings it could not read.

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

#include "capture/frontend_hook_obs.h"
#include "capture/streaming_service_backup_obs.h"
#include "config/config_store.h"
#include "diagnostics/diagnostics_action_qt.h"
#include "dock/status_dock_widget_qt.h"
#include "link/plugin_link_apply.h"

namespace ryvoobs {
namespace {

constexpr std::int64_t kPollSpacingNs = 3'000'000'000;

std::atomic<int> requests_running{0};

std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// For a click: a read that failed is tried again, since the user may have unlocked the keyring
// or fixed the file since.
ConfigReading read_for_action() {
    return plugin_config_store().read(ConfigStore::Retry::unreadable);
}

bool has_pending_link(const PluginConfig& config) {
    return config.auth_mode == AuthMode::portal && !config.portal_link_session_id.empty() &&
           !config.portal_link_poll_token.empty();
}

void clear_pending_link(PluginConfig* config) {
    config->portal_link_session_id.clear();
    config->portal_link_verification_code.clear();
    config->portal_link_verification_url.clear();
    config->portal_link_poll_token.clear();
    config->portal_link_expires_at.clear();
}

// Runs `request` on a short-lived thread, which touches nothing but its copies and passes the
// dock's guarded pointer back to the main thread without using it; there `deliver` gets the
// outcome if the dock still exists. Throws std::system_error when no thread can be had.
template <typename Outcome>
void run_off_main_thread(RyvoStatusDockWidget* dock, std::function<Outcome()> request,
                         void (RyvoStatusDockWidget::*deliver)(const Outcome&)) {
    requests_running.fetch_add(1, std::memory_order_acq_rel);
    try {
        std::thread([dock = QPointer<RyvoStatusDockWidget>(dock), request = std::move(request),
                     deliver]() mutable {
            Outcome outcome = request();
            if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
                QMetaObject::invokeMethod(
                    app,
                    [dock = std::move(dock), outcome = std::move(outcome), deliver] {
                        if (dock) {
                            (dock.data()->*deliver)(outcome);
                        }
                    },
                    Qt::QueuedConnection);
            }
            requests_running.fetch_sub(1, std::memory_order_acq_rel);
        }).detach();
    } catch (const std::system_error&) {
        requests_running.fetch_sub(1, std::memory_order_acq_rel);
        throw;
    }
}

}  // namespace

template <typename Outcome>
void RyvoStatusDockWidget::run_link_request(std::function<Outcome()> request,
                                            void (RyvoStatusDockWidget::*deliver)(const Outcome&)) {
    try {
        run_off_main_thread(this, std::move(request), deliver);
        start_or_cancel_in_flight = true;
    } catch (const std::system_error& e) {
        show_result(ResultKind::error, e.what());
    }
}

int running_link_requests() {
    return requests_running.load(std::memory_order_acquire);
}

bool save_config_value(const PluginConfig& config, std::uint64_t generation, std::string* error) {
    std::string save_error;
    if (!plugin_config_store().save(config, generation, &save_error)) {
        if (error != nullptr) {
            *error = save_error;
        }
        return false;
    }
    ensure_streaming_service_selected();
    install_obs_hook();
    if (error != nullptr) {
        error->clear();
    }
    return true;
}

void RyvoStatusDockWidget::connect_actions() {
    connect(copy_code_button, &QPushButton::clicked, this, [this] { copy_verification_code(); });
    connect(link_button, &QPushButton::clicked, this, [this] { start_portal_link(); });
    connect(open_portal_button, &QPushButton::clicked, this, [this] { open_portal_page(); });
    connect(cancel_link_button, &QPushButton::clicked, this, [this] { cancel_portal_link(); });
    connect(toggle_button, &QPushButton::clicked, this, [this] { toggle_enabled(); });
    connect(save_button, &QPushButton::clicked, this, [this] { save_stream_id(); });
    connect(relink_button, &QPushButton::clicked, this, [this] { start_portal_link(); });
    connect(diagnostics_button, &QPushButton::clicked, this,
            [this] { copy_diagnostics_for_support(diagnostics_label); });
}

void RyvoStatusDockWidget::show_result(ResultKind kind, const std::string& message) {
    static constexpr const char* kStyles[] = {
        "QLabel { color: #9ed6b3; font-size: 11px; font-weight: 600; }",
        "QLabel { color: #ffcc8a; font-size: 11px; font-weight: 600; }",
        "QLabel { color: #ffb4b4; font-size: 11px; font-weight: 600; }",
    };
    feedback_label->setStyleSheet(kStyles[static_cast<int>(kind)]);
    feedback_label->setText(QString::fromStdString(message));
    feedback_label->setVisible(!message.empty());
}

void RyvoStatusDockWidget::start_portal_link() {
    if (start_or_cancel_in_flight) {
        return;
    }
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    std::function<PortalStartOutcome()> request = [endpoint = reading.config.api_endpoint] {
        PortalStartOutcome outcome;
        outcome.link = start_plugin_link(endpoint, &outcome.error, nullptr);
        return outcome;
    };
    run_link_request(std::move(request), &RyvoStatusDockWidget::apply_started_link);
}

void RyvoStatusDockWidget::apply_started_link(const PortalStartOutcome& outcome) {
    start_or_cancel_in_flight = false;
    if (!outcome.link) {
        show_result(ResultKind::error, outcome.error);
        return;
    }
    const StartPluginLinkResponse& link = *outcome.link;
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    PluginConfig config = reading.config;
    config.auth_mode = AuthMode::portal;
    config.portal_link_session_id = link.link_session_id;
    config.portal_link_verification_code = link.verification_code;
    config.portal_link_verification_url = link.verification_url;
    config.portal_link_poll_token = link.poll_token;
    config.portal_link_expires_at = link.expires_at;
    std::string error;
    if (!save_config_value(config, reading.generation, &error)) {
        show_result(ResultKind::error, error);
        return;
    }
    last_poll_started = 0;
    std::string browser_error;
    if (open_url_in_browser(link.verification_url, &browser_error)) {
        show_result(ResultKind::success, "Opened Ryvo Portal with code " + link.verification_code);
    } else {
        show_result(ResultKind::warning,
                    "Link created. Open portal manually with code " + link.verification_code);
    }
    refresh();
}

void RyvoStatusDockWidget::copy_verification_code() {
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    const PluginConfig& config = reading.config;
    if (!has_pending_link(config) || config.portal_link_verification_code.empty()) {
        show_result(ResultKind::error, "No active verification code to copy");
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        show_result(ResultKind::error, "Clipboard is unavailable");
        return;
    }
    clipboard->setText(QString::fromStdString(config.portal_link_verification_code));
    show_result(ResultKind::success, "Verification code copied");
}

void RyvoStatusDockWidget::open_portal_page() {
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    if (reading.config.portal_link_verification_url.empty()) {
        show_result(ResultKind::error, "No active portal link to open");
        return;
    }
    std::string error;
    if (open_url_in_browser(reading.config.portal_link_verification_url, &error)) {
        show_result(ResultKind::success, "Ryvo Portal reopened in your browser");
    } else {
        show_result(ResultKind::error, error);
    }
}

void RyvoStatusDockWidget::cancel_portal_link() {
    if (start_or_cancel_in_flight) {
        return;
    }
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    const PluginConfig& config = reading.config;
    if (!has_pending_link(config)) {
        show_result(ResultKind::error, "No active portal link to cancel");
        return;
    }
    std::function<PortalCancelOutcome()> request = [endpoint = config.api_endpoint,
                                                    session_id = config.portal_link_session_id,
                                                    poll_token = config.portal_link_poll_token] {
        PortalCancelOutcome outcome;
        outcome.cancelled = cancel_plugin_link(endpoint, session_id, poll_token, &outcome.error,
                                               &outcome.http_status);
        outcome.session_id = session_id;
        return outcome;
    };
    run_link_request(std::move(request), &RyvoStatusDockWidget::apply_cancelled_link);
}

void RyvoStatusDockWidget::apply_cancelled_link(const PortalCancelOutcome& outcome) {
    start_or_cancel_in_flight = false;
    // A 2xx without a body is the service agreeing with nothing more to say; the link is gone on
    // its side as on ours.
    if (!outcome.cancelled && !(outcome.http_status >= 200 && outcome.http_status <= 299)) {
        show_result(ResultKind::error, outcome.error);
        return;
    }
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    // A link started meanwhile is not the one that was cancelled.
    if (reading.config.portal_link_session_id == outcome.session_id &&
        !save_cleared_link(reading.config, reading.generation)) {
        return;
    }
    show_result(ResultKind::warning, "Cancelled Ryvo Portal link");
    refresh();
}

void RyvoStatusDockWidget::toggle_enabled() {
    const bool was_enabled = enabled;
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    PluginConfig config = reading.config;
    config.enabled = !was_enabled;
    std::string error;
    if (!save_config_value(config, reading.generation, &error)) {
        show_result(ResultKind::error, error);
        return;
    }
    show_result(ResultKind::success, was_enabled ? "Ryvo disabled for future OBS sessions"
                                                 : "Ryvo enabled for future OBS sessions");
    refresh();
}

void RyvoStatusDockWidget::save_stream_id() {
    const std::string stream_id = normalize_stream_id(stream_id_edit->text().toStdString());
    if (stream_id.empty()) {
        show_result(ResultKind::error, "stream_id is required");
        return;
    }
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, reading.unreadable_message());
        return;
    }
    PluginConfig config = reading.config;
    config.stream_id = stream_id;
    std::string error;
    if (!save_config_value(config, reading.generation, &error)) {
        show_result(ResultKind::error, error);
        return;
    }
    show_result(ResultKind::success, "Saved to obs-plugin.json");
    refresh();
}

void RyvoStatusDockWidget::maybe_poll_portal_link() {
    const std::int64_t now = monotonic_ns();
    if (poll_in_flight.load(std::memory_order_acquire)) {
        return;
    }
    if (last_poll_started != 0 && now - last_poll_started < kPollSpacingNs) {
        return;
    }
    // The refresh's path: the store's version as it stands, never a retried read.
    const ConfigReading reading = plugin_config_store().current();
    const PluginConfig& config = reading.config;
    if (!reading.readable() || !has_pending_link(config)) {
        return;
    }
    std::function<PortalPollOutcome()> request = [endpoint = config.api_endpoint,
                                                  session_id = config.portal_link_session_id,
                                                  poll_token = config.portal_link_poll_token] {
        PortalPollOutcome outcome;
        outcome.response = poll_plugin_link(endpoint, session_id, poll_token, &outcome.error,
                                            &outcome.http_status);
        outcome.session_id = session_id;
        return outcome;
    };
    last_poll_started = now;
    poll_in_flight.store(true, std::memory_order_release);
    try {
        run_off_main_thread(this, std::move(request), &RyvoStatusDockWidget::apply_portal_poll);
    } catch (const std::system_error& e) {
        // No thread, no result to wait for: the next refresh may try again after the spacing.
        poll_in_flight.store(false, std::memory_order_release);
        show_result(ResultKind::warning, std::string("Portal check: ") + e.what());
    }
}

bool RyvoStatusDockWidget::save_cleared_link(PluginConfig config, std::uint64_t generation) {
    clear_pending_link(&config);
    std::string error;
    if (!save_config_value(config, generation, &error)) {
        show_result(ResultKind::error, error);
        return false;
    }
    return true;
}

void RyvoStatusDockWidget::apply_portal_poll(const PortalPollOutcome& outcome) {
    poll_in_flight.store(false, std::memory_order_release);
    const ConfigReading reading = read_for_action();
    if (!reading.readable()) {
        show_result(ResultKind::error, "Portal check: " + reading.unreadable_message());
        return;
    }
    // The link was cancelled or replaced meanwhile: the answer is stale.
    if (reading.config.portal_link_session_id != outcome.session_id) {
        return;
    }
    if (!outcome.response) {
        if (outcome.http_status == 401) {
            if (!save_cleared_link(reading.config, reading.generation)) {
                return;
            }
            show_result(ResultKind::warning,
                        "Portal sign-in expired. Click Link with Ryvo Portal to try again.");
            refresh();
        } else if (!outcome.error.empty()) {
            show_result(ResultKind::warning, "Portal check: " + outcome.error);
        }
        return;
    }
    const PollPluginLinkResponse& response = *outcome.response;
    if (response.status == "pending") {
        return;
    }
    PluginConfig config = reading.config;
    if (response.status == "completed" && apply_completed_plugin_link(&config, response)) {
        std::string error;
        if (!save_config_value(config, reading.generation, &error)) {
            show_result(ResultKind::error, error);
            return;
        }
        show_result(ResultKind::success, "Ryvo stream selection updated");
    } else if (response.status == "completed") {
        if (!save_cleared_link(reading.config, reading.generation)) {
            return;
        }
        show_result(ResultKind::warning,
                    "Ryvo did not receive the stream credential. Start the link again.");
    } else {
        if (!save_cleared_link(reading.config, reading.generation)) {
            return;
        }
        show_result(ResultKind::warning, "Portal link " + response.status);
    }
    refresh();
}

}  // namespace ryvoobs

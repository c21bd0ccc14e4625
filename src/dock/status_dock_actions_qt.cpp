// The dock's buttons and the portal-link flow. Everything runs on the Qt main thread except the
// portal poll, which works on copies and hands its outcome back through a queued call.

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "capture/frontend_hook_obs.h"
#include "capture/streaming_service_backup_obs.h"
#include "config/config_file.h"
#include "diagnostics/diagnostics_action_qt.h"
#include "dock/status_dock_widget_qt.h"
#include "link/plugin_link_apply.h"

namespace ryvoobs {
namespace {

constexpr std::int64_t kPollSpacingNs = 3'000'000'000;

std::atomic<int> polls_running{0};

std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<PluginConfig> read_config() {
    return read_config_file(default_config_path(), nullptr);
}

PluginConfig read_config_or_default() {
    return read_config().value_or(PluginConfig{});
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

// Runs on the poll thread: touches nothing but its copies, and passes the dock's guarded pointer
// back to the main thread without using it.
void run_portal_poll(QPointer<RyvoStatusDockWidget> dock, std::string endpoint,
                     std::string session_id, std::string poll_token) {
    PortalPollOutcome outcome;
    outcome.response =
        poll_plugin_link(endpoint, session_id, poll_token, &outcome.error, &outcome.http_status);
    outcome.session_id = std::move(session_id);
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
        QMetaObject::invokeMethod(
            app,
            [dock = std::move(dock), outcome = std::move(outcome)] {
                if (dock) {
                    dock->apply_portal_poll(outcome);
                }
            },
            Qt::QueuedConnection);
    }
    polls_running.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace

int running_portal_polls() {
    return polls_running.load(std::memory_order_acquire);
}

bool save_config_value(const PluginConfig& config, std::string* error) {
    std::string save_error;
    if (!save_config_file(default_config_path(), config, &save_error)) {
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
    PluginConfig config = read_config_or_default();
    config.auth_mode = AuthMode::portal;
    std::string error;
    const std::optional<StartPluginLinkResponse> link =
        start_plugin_link(config.api_endpoint, &error, nullptr);
    if (!link) {
        show_result(ResultKind::error, error);
        return;
    }
    config.portal_link_session_id = link->link_session_id;
    config.portal_link_verification_code = link->verification_code;
    config.portal_link_verification_url = link->verification_url;
    config.portal_link_poll_token = link->poll_token;
    config.portal_link_expires_at = link->expires_at;
    if (!save_config_value(config, &error)) {
        show_result(ResultKind::error, error);
        return;
    }
    last_poll_started = 0;
    std::string browser_error;
    if (open_url_in_browser(link->verification_url, &browser_error)) {
        show_result(ResultKind::success, "Opened Ryvo Portal with code " + link->verification_code);
    } else {
        show_result(ResultKind::warning,
                    "Link created. Open portal manually with code " + link->verification_code);
    }
    refresh();
}

void RyvoStatusDockWidget::copy_verification_code() {
    const std::optional<PluginConfig> config = read_config();
    if (!config || !has_pending_link(*config) || config->portal_link_verification_code.empty()) {
        show_result(ResultKind::error, "No active verification code to copy");
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        show_result(ResultKind::error, "Clipboard is unavailable");
        return;
    }
    clipboard->setText(QString::fromStdString(config->portal_link_verification_code));
    show_result(ResultKind::success, "Verification code copied");
}

void RyvoStatusDockWidget::open_portal_page() {
    const std::optional<PluginConfig> config = read_config();
    if (!config || config->portal_link_verification_url.empty()) {
        show_result(ResultKind::error, "No active portal link to open");
        return;
    }
    std::string error;
    if (open_url_in_browser(config->portal_link_verification_url, &error)) {
        show_result(ResultKind::success, "Ryvo Portal reopened in your browser");
    } else {
        show_result(ResultKind::error, error);
    }
}

void RyvoStatusDockWidget::cancel_portal_link() {
    std::optional<PluginConfig> config = read_config();
    if (!config || !has_pending_link(*config)) {
        show_result(ResultKind::error, "No active portal link to cancel");
        return;
    }
    std::string error;
    std::int32_t status = 0;
    const bool cancelled = cancel_plugin_link(config->api_endpoint, config->portal_link_session_id,
                                              config->portal_link_poll_token, &error, &status);
    // A 2xx without a body is the service agreeing with nothing more to say; the link is gone on
    // its side as on ours.
    if (!cancelled && !(status >= 200 && status <= 299)) {
        show_result(ResultKind::error, error);
        return;
    }
    clear_pending_link(&*config);
    if (!save_config_value(*config, &error)) {
        show_result(ResultKind::error, error);
        return;
    }
    show_result(ResultKind::warning, "Cancelled Ryvo Portal link");
    refresh();
}

void RyvoStatusDockWidget::toggle_enabled() {
    const bool was_enabled = enabled;
    PluginConfig config = read_config_or_default();
    config.enabled = !was_enabled;
    std::string error;
    if (!save_config_value(config, &error)) {
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
    PluginConfig config = read_config_or_default();
    config.stream_id = stream_id;
    std::string error;
    if (!save_config_value(config, &error)) {
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
    const std::optional<PluginConfig> config = read_config();
    if (!config || !has_pending_link(*config)) {
        return;
    }
    last_poll_started = now;
    poll_in_flight.store(true, std::memory_order_release);
    polls_running.fetch_add(1, std::memory_order_acq_rel);
    try {
        std::thread(run_portal_poll, QPointer<RyvoStatusDockWidget>(this), config->api_endpoint,
                    config->portal_link_session_id, config->portal_link_poll_token)
            .detach();
    } catch (const std::system_error& e) {
        // No thread, no result to wait for: the next refresh may try again after the spacing.
        poll_in_flight.store(false, std::memory_order_release);
        polls_running.fetch_sub(1, std::memory_order_acq_rel);
        show_result(ResultKind::warning, std::string("Portal check: ") + e.what());
    }
}

bool RyvoStatusDockWidget::save_cleared_link(PluginConfig config) {
    clear_pending_link(&config);
    std::string error;
    if (!save_config_value(config, &error)) {
        show_result(ResultKind::error, error);
        return false;
    }
    return true;
}

void RyvoStatusDockWidget::apply_portal_poll(const PortalPollOutcome& outcome) {
    poll_in_flight.store(false, std::memory_order_release);
    const std::optional<PluginConfig> current = read_config();
    if (!current || current->portal_link_session_id != outcome.session_id) {
        return;
    }
    if (!outcome.response) {
        if (outcome.http_status == 401) {
            if (std::optional<PluginConfig> config = read_config();
                config && !save_cleared_link(*config)) {
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
    std::string read_error;
    std::optional<PluginConfig> config = read_config_file(default_config_path(), &read_error);
    if (!config) {
        show_result(ResultKind::error, "Portal check: " + read_error);
        return;
    }
    if (response.status == "completed" && apply_completed_plugin_link(&*config, response)) {
        std::string error;
        if (!save_config_value(*config, &error)) {
            show_result(ResultKind::error, error);
            return;
        }
        show_result(ResultKind::success, "Ryvo stream selection updated");
    } else if (response.status == "completed") {
        if (!save_cleared_link(*config)) {
            return;
        }
        show_result(ResultKind::warning,
                    "Ryvo did not receive the stream credential. Start the link again.");
    } else {
        if (!save_cleared_link(*config)) {
            return;
        }
        show_result(ResultKind::warning, "Portal link " + response.status);
    }
    refresh();
}

}  // namespace ryvoobs

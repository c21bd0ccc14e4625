#pragma once

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/plugin_status_snapshot.h"
#include "link/plugin_link_client.h"

class QFrame;
class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace ryvoobs {

// What one portal poll brought back, handed from the poll thread to the main thread.
struct PortalPollOutcome {
    std::optional<PollPluginLinkResponse> response;
    std::string error;
    std::int32_t http_status = 0;
    std::string session_id;
};

// What starting a portal link brought back.
struct PortalStartOutcome {
    std::optional<StartPluginLinkResponse> link;
    std::string error;
};

// What cancelling the pending link of `session_id` brought back.
struct PortalCancelOutcome {
    bool cancelled = false;
    std::string error;
    std::int32_t http_status = 0;
    std::string session_id;
};

// The status dock: live figures of the plug-in, the portal-link flow and the on/off switch.
// Lives on the Qt main thread; the threads it starts for the portal's requests (start, poll,
// cancel) never touch it. The widget pointers are public so that tests can read and click them;
// Qt's parent chain owns every one of them.
class RyvoStatusDockWidget : public QWidget {
  public:
    explicit RyvoStatusDockWidget(QWidget* parent = nullptr);
    ~RyvoStatusDockWidget() override;
    RyvoStatusDockWidget(const RyvoStatusDockWidget&) = delete;
    RyvoStatusDockWidget& operator=(const RyvoStatusDockWidget&) = delete;

    // Shows the plug-in's current snapshot; the timer's path.
    void refresh();
    // Shows `snapshot` and, when the portal part is on screen with a link pending, polls.
    void refresh_from(const RyvoPluginStatusSnapshot& snapshot);
    void start_portal_link();
    void maybe_poll_portal_link();
    // Takes a poll's outcome on the main thread.
    void apply_portal_poll(const PortalPollOutcome& outcome);
    bool portal_poll_in_flight() const { return poll_in_flight.load(std::memory_order_acquire); }
    // A start or cancel request is on its way; further clicks on those buttons wait for it.
    bool link_request_in_flight() const { return start_or_cancel_in_flight; }

    QLabel* summary_label = nullptr;
    QLabel* account_label = nullptr;
    QLabel* stream_label = nullptr;
    QFrame* portal_frame = nullptr;
    QLabel* portal_message_label = nullptr;
    QLabel* verification_code_label = nullptr;
    QPushButton* copy_code_button = nullptr;
    QPushButton* link_button = nullptr;
    QPushButton* open_portal_button = nullptr;
    QPushButton* cancel_link_button = nullptr;
    QPushButton* relink_button = nullptr;
    QFrame* runtime_section = nullptr;
    QFrame* traffic_section = nullptr;
    QFrame* buffer_section = nullptr;
    QFrame* support_section = nullptr;
    QPushButton* diagnostics_button = nullptr;
    QLabel* diagnostics_label = nullptr;
    QFrame* manual_frame = nullptr;
    QPushButton* toggle_button = nullptr;
    QLineEdit* stream_id_edit = nullptr;
    QPushButton* save_button = nullptr;
    QLabel* feedback_label = nullptr;
    QLabel* output_value = nullptr;
    QLabel* output_detail = nullptr;
    QLabel* link_value = nullptr;
    QLabel* link_detail = nullptr;
    QLabel* runtime_value = nullptr;
    QLabel* runtime_detail = nullptr;
    QLabel* cache_value = nullptr;
    QLabel* cache_detail = nullptr;
    QProgressBar* cache_progress = nullptr;
    QLabel* account_row = nullptr;
    QLabel* target_stream_row = nullptr;
    QLabel* attached_output_row = nullptr;
    QLabel* capture_mode_row = nullptr;
    QLabel* last_error_row = nullptr;
    QLabel* packets_row = nullptr;
    QLabel* last_upload_row = nullptr;
    QLabel* dropped_packets_row = nullptr;
    QLabel* cache_row = nullptr;

  private:
    enum class ResultKind { success, warning, error };

    void build_status_section(QWidget* content);
    void build_portal_frame(QWidget* parent);
    void build_manual_frame(QWidget* parent);
    void build_detail_sections(QWidget* content);
    void connect_actions();
    void add_value_row(QGridLayout* grid, int row, const QString& title, QLabel** value);
    void refresh_portal_part(const RyvoPluginStatusSnapshot& s, bool locked);
    void refresh_figures(const RyvoPluginStatusSnapshot& s);

    void copy_verification_code();
    void open_portal_page();
    void cancel_portal_link();
    void apply_started_link(const PortalStartOutcome& outcome);
    void apply_cancelled_link(const PortalCancelOutcome& outcome);
    // Starts a link start or cancel request off the Qt thread; one of the two at a time.
    template <typename Outcome>
    void run_link_request(std::function<Outcome()> request,
                          void (RyvoStatusDockWidget::*deliver)(const Outcome&));
    void toggle_enabled();
    void save_stream_id();
    // Saves the pending link's removal over the version `generation`; false (with the error
    // shown) when the save fails.
    bool save_cleared_link(PluginConfig config, std::uint64_t generation);
    void show_result(ResultKind kind, const std::string& text);

    bool enabled = true;
    std::atomic<bool> poll_in_flight{false};
    bool start_or_cancel_in_flight = false;
    std::int64_t last_poll_started = 0;
    QTimer* refresh_timer = nullptr;
};

// How many portal request threads have not finished yet, across all docks; a thread counts until
// after it has queued its outcome.
int running_link_requests();

// Saves the plug-in's configuration over the version `generation` of the store, then brings OBS's
// streaming service and the frontend hook in line with it. On failure `error` holds the reason;
// nothing is saved over settings that could not be read.
bool save_config_value(const PluginConfig& config, std::uint64_t generation, std::string* error);

}  // namespace ryvoobs

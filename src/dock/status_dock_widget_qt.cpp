#include "dock/status_dock_widget_qt.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "dock/dock_layout_qt.h"
#include "dock/localized_text_qt.h"
#include "dock/status_texts.h"

namespace ryvoobs {
namespace {

constexpr const char* kToggleOffStyle =
    "QPushButton { background: #7a2f62; color: white; border: 0; border-radius: 9px; "
    "padding: 8px 12px; font-size: 13px; font-weight: 700; min-height: 34px; }"
    "QPushButton:hover { background: #90407a; }QPushButton:pressed { background: #66274f; }";
constexpr const char* kToggleOnStyle =
    "QPushButton { background: #215b3a; color: white; border: 0; border-radius: 9px; "
    "padding: 8px 12px; font-size: 13px; font-weight: 700; min-height: 34px; }"
    "QPushButton:hover { background: #2c7249; }QPushButton:pressed { background: #19472d; }";
constexpr const char* kPortalMessageStyle = "QLabel { color: #c4d3f3; font-size: 12px; }";
constexpr const char* kPortalPendingStyle =
    "QLabel { color: #ffd38a; font-size: 13px; font-weight: 700; }";

QLabel* styled_label(QWidget* parent, const char* style, bool selectable) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setStyleSheet(style);
    if (selectable) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    return label;
}

QPushButton* wide_button(QWidget* parent, const QString& text, const char* style = nullptr) {
    auto* button = new QPushButton(text, parent);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    if (style != nullptr) {
        button->setStyleSheet(style);
    }
    return button;
}

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString number(std::uint64_t value) {
    return QString::number(static_cast<qulonglong>(value));
}

bool is_manual(const RyvoPluginStatusSnapshot& s) {
    return s.auth_mode == static_cast<std::int32_t>(AuthMode::manual);
}

std::string summary_text(const RyvoPluginStatusSnapshot& s, bool locked) {
    if (!s.config_error.empty()) {
        return s.config_error;
    }
    if (!s.enabled) {
        return s.active_service_is_ryvo
                   ? "Ryvo is off and is not capturing packets, but OBS still has the Ryvo "
                     "service selected. Choose a regular service in OBS Settings > Stream before "
                     "direct streaming."
                   : "Ryvo is off. OBS recording and streaming will run normally until you turn "
                     "Ryvo back on.";
    }
    if (locked) {
        return "Ryvo is attached. Stream selection is locked for this live session.";
    }
    if (is_manual(s)) {
        return s.stream_id.empty() ? "Choose which Ryvo stream to attach on the next run."
                                   : "Current target stream for the next Ryvo attach.";
    }
    if (s.has_pending_portal_link) {
        return "Ryvo is waiting for portal approval before it can attach to the next OBS session.";
    }
    return s.has_runtime_credentials ? "Ryvo will use the selected stream on the next OBS session."
                                     : "Link Ryvo to choose a stream for this OBS install.";
}

std::string portal_message(const RyvoPluginStatusSnapshot& s) {
    if (s.has_pending_portal_link) {
        if (!s.portal_link_verification_code.empty()) {
            return "In the browser, enter code " + s.portal_link_verification_code +
                   ", choose the stream, and approve. Keep OBS open; the selection updates "
                   "automatically.";
        }
        return "Finish Ryvo Portal linking in your browser. OBS will keep polling for approval.";
    }
    return s.has_runtime_credentials ? "This OBS install is linked through Ryvo Portal. Choose "
                                       "Change Stream to use a different stream."
                                     : "Link this OBS install to your Ryvo account without "
                                       "copying a stream ID by hand.";
}

std::string runtime_detail_text(const RyvoPluginStatusSnapshot& s) {
    const StatusSnapshot& status = s.runtime_status;
    if (!status.started_at) {
        return s.last_delivery_result.empty() ? "Waiting for next OBS session"
                                              : "Last broadcast " + s.last_delivery_result;
    }
    if (status.last_upload_at) {
        return "Last upload " + format_age(status.last_upload_at);
    }
    return s.cache_status.total_bytes != 0 || s.packets != 0 ? "Buffering first upload"
                                                             : "Starting stream session";
}

bool shows_details(const RyvoPluginStatusSnapshot& s, bool locked) {
    return locked || !is_manual(s) || !s.selected_stream_name.empty() ||
           !s.linked_account_email.empty() || !s.linked_account_name.empty() || s.packets != 0 ||
           s.video_packets != 0 || s.audio_packets != 0 || s.cache_status.segment_count != 0 ||
           s.cache_status.total_bytes != 0 || s.cache_status.evictions != 0 ||
           s.dropped_mux_packets != 0;
}

}  // namespace

RyvoStatusDockWidget::RyvoStatusDockWidget(QWidget* parent) : QWidget(parent) {
    setMinimumWidth(0);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    setStyleSheet(kDockRootStyle);

    auto* scroll = new QScrollArea(this);
    scroll->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);

    auto* content = new QWidget();
    content->setObjectName("ryvoStatusRoot");
    content->setMinimumWidth(0);
    content->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    scroll->setWidget(content);
    auto* content_layout = new QVBoxLayout(content);
    content_layout->setContentsMargins(12, 12, 12, 12);
    content_layout->setSpacing(12);
    content_layout->setAlignment(Qt::AlignTop);

    build_status_section(content);
    build_detail_sections(content);
    content_layout->addStretch(1);
    connect_actions();

    refresh_timer = new QTimer(this);
    connect(refresh_timer, &QTimer::timeout, this, [this] { refresh(); });
    refresh_timer->start(1000);
    refresh();
}

// The poll thread holds only a guarded pointer, so nothing here has to wait for it.
RyvoStatusDockWidget::~RyvoStatusDockWidget() = default;

void RyvoStatusDockWidget::build_status_section(QWidget* content) {
    auto* section = new QFrame(content);
    section->setObjectName("ryvoStatusSection");
    section->setMinimumWidth(0);
    section->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);
    content->layout()->addWidget(section);

    auto* title =
        new QLabel(localized_text_qstring("RyvoObs.StatusTitle", "Ryvo Stream Status"), section);
    title->setStyleSheet("QLabel { color: #f6f8ff; font-size: 18px; font-weight: 700; }");
    layout->addWidget(title);
    summary_label = styled_label(section, "QLabel { color: #c4cde0; font-size: 13px; }", true);
    layout->addWidget(summary_label);
    account_label = styled_label(
        section, "QLabel { color: #b7c6e6; font-size: 12px; font-weight: 600; }", true);
    layout->addWidget(account_label);
    stream_label = styled_label(section, "QLabel { color: #b7c6e6; font-size: 12px; }", true);
    layout->addWidget(stream_label);

    auto* grid = new QGridLayout();
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->addWidget(
        build_metric_card(section, "OBS Output", &output_value, &output_detail, nullptr), 0, 0);
    grid->addWidget(build_metric_card(section, "Ryvo Link", &link_value, &link_detail, nullptr), 0,
                    1);
    grid->addWidget(
        build_metric_card(section, "Session Runtime", &runtime_value, &runtime_detail, nullptr), 1,
        0);
    grid->addWidget(
        build_metric_card(section, "Cache Usage", &cache_value, &cache_detail, &cache_progress), 1,
        1);
    layout->addLayout(grid);

    build_portal_frame(section);
    build_manual_frame(section);

    auto* toggle_row = new QHBoxLayout();
    toggle_row->setContentsMargins(0, 0, 0, 0);
    toggle_row->setSpacing(8);
    toggle_button = wide_button(section, QString());
    toggle_row->addWidget(toggle_button, 2);
    relink_button = wide_button(section, "Relink Portal", kSecondaryButtonStyle);
    toggle_row->addWidget(relink_button, 1);
    layout->addLayout(toggle_row);

    // The action results sit right under the buttons that cause them, outside the stream-ID
    // panel: refresh hides that panel every second, and a result inside it would never be seen.
    // Hidden until the first result, so that an empty line does not leave a gap under the buttons.
    feedback_label = styled_label(section, "QLabel { color: #98a4be; font-size: 12px; }", false);
    feedback_label->hide();
    layout->addWidget(feedback_label);
}

void RyvoStatusDockWidget::build_portal_frame(QWidget* parent) {
    portal_frame = new QFrame(parent);
    auto* layout = new QVBoxLayout(portal_frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    portal_message_label = styled_label(portal_frame, kPortalMessageStyle, true);
    layout->addWidget(portal_message_label);
    verification_code_label = new QLabel(portal_frame);
    verification_code_label->setAlignment(Qt::AlignCenter);
    verification_code_label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    verification_code_label->setWordWrap(false);
    verification_code_label->setStyleSheet(
        "QLabel { background: #111725; color: #ffffff; border: 2px solid #f0ae49; "
        "border-radius: 8px; padding: 12px; font-family: monospace; font-size: 24px; "
        "font-weight: 800; }");
    layout->addWidget(verification_code_label);
    copy_code_button = wide_button(portal_frame, "Copy Verification Code");
    layout->addWidget(copy_code_button);
    link_button = wide_button(portal_frame, "Link with Portal");
    layout->addWidget(link_button);
    open_portal_button = wide_button(portal_frame, "Open Portal", kSecondaryButtonStyle);
    layout->addWidget(open_portal_button);
    cancel_link_button = wide_button(portal_frame, "Cancel Link", kSecondaryButtonStyle);
    layout->addWidget(cancel_link_button);
    parent->layout()->addWidget(portal_frame);
}

void RyvoStatusDockWidget::build_manual_frame(QWidget* parent) {
    manual_frame = new QFrame(parent);
    auto* layout = new QVBoxLayout(manual_frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* title = new QLabel("Stream ID", manual_frame);
    title->setStyleSheet("QLabel { color: #98a4be; font-size: 13px; font-weight: 600; }");
    layout->addWidget(title);
    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    stream_id_edit = new QLineEdit(manual_frame);
    stream_id_edit->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    stream_id_edit->setPlaceholderText(localized_text_qstring(
        "RyvoObs.StreamIDPlaceholder", "3122e74a-3731-4895-913a-9f86b8a6b830"));
    row->addWidget(stream_id_edit, 1);
    save_button = new QPushButton(localized_text_qstring("RyvoObs.Save", "Save"), manual_frame);
    save_button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    row->addWidget(save_button);
    layout->addLayout(row);
    parent->layout()->addWidget(manual_frame);
}

void RyvoStatusDockWidget::build_detail_sections(QWidget* content) {
    QVBoxLayout* body = nullptr;
    const auto value_grid = [&body] {
        auto* grid = new QGridLayout();
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setHorizontalSpacing(14);
        grid->setVerticalSpacing(8);
        body->addLayout(grid);
        return grid;
    };

    runtime_section = build_section_frame(content, "Runtime", &body, true);
    QGridLayout* grid = value_grid();
    add_value_row(grid, 0, "Ryvo Account", &account_row);
    add_value_row(grid, 1, "Target Stream", &target_stream_row);
    add_value_row(grid, 2, "Attached Output", &attached_output_row);
    add_value_row(grid, 3, "Capture Mode", &capture_mode_row);
    add_value_row(grid, 4, "Last Error", &last_error_row);
    content->layout()->addWidget(runtime_section);

    traffic_section = build_section_frame(content, "Traffic", &body, false);
    grid = value_grid();
    add_value_row(grid, 0, "Packets", &packets_row);
    add_value_row(grid, 1, "Last Upload", &last_upload_row);
    add_value_row(grid, 2, "Dropped Mux Packets", &dropped_packets_row);
    content->layout()->addWidget(traffic_section);

    buffer_section = build_section_frame(content, "Buffer", &body, false);
    grid = value_grid();
    add_value_row(grid, 0, "Cache Usage", &cache_row);
    content->layout()->addWidget(buffer_section);

    support_section = build_section_frame(content, "Support", &body, false);
    auto* about =
        styled_label(support_section, "QLabel { color: #b2bfd9; font-size: 12px; }", false);
    about->setText(
        "Generates a redacted diagnostic bundle (status, config, runtime state, recent "
        "OBS log lines). Secrets and paths are stripped. Saves to your Desktop and "
        "copies to your clipboard so you can paste into a support ticket.");
    body->addWidget(about);
    diagnostics_button =
        wide_button(support_section, "Copy Diagnostics for Support", kSecondaryButtonStyle);
    body->addWidget(diagnostics_button);
    diagnostics_label =
        styled_label(support_section, "QLabel { color: #98a4be; font-size: 11px; }", true);
    body->addWidget(diagnostics_label);
    content->layout()->addWidget(support_section);
}

void RyvoStatusDockWidget::add_value_row(QGridLayout* grid, int row, const QString& title,
                                         QLabel** value) {
    auto* title_label =
        styled_label(this, "QLabel { color: #98a4be; font-size: 13px; font-weight: 600; }", false);
    title_label->setText(title);
    title_label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    grid->addWidget(title_label, row, 0, Qt::AlignTop);
    *value = styled_label(this, "QLabel { color: #eef2ff; font-size: 13px; }", true);
    (*value)->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    grid->addWidget(*value, row, 1, Qt::AlignTop);
    grid->setColumnStretch(0, 0);
    grid->setColumnStretch(1, 1);
}

void RyvoStatusDockWidget::refresh() {
    refresh_from(plugin_status_snapshot());
}

void RyvoStatusDockWidget::refresh_from(const RyvoPluginStatusSnapshot& s) {
    enabled = s.enabled;
    const bool locked = s.attached || s.runtime_status.streaming;
    summary_label->setText(text(summary_text(s, locked)));
    manual_frame->hide();
    account_label->setVisible(!is_manual(s));
    stream_label->setVisible(!is_manual(s));
    if (!is_manual(s)) {
        account_label->setText(text("Ryvo account: " + linked_account_text(s)));
        stream_label->setText(text("Selected stream: " + target_stream_text(s)));
    }
    refresh_portal_part(s, locked);

    toggle_button->setText(s.enabled ? "Turn Ryvo Off" : "Turn Ryvo On");
    toggle_button->setStyleSheet(s.enabled ? kToggleOffStyle : kToggleOnStyle);
    refresh_figures(s);
    const bool details = shows_details(s, locked);
    traffic_section->setVisible(details);
    buffer_section->setVisible(details);
    runtime_section->show();
    support_section->show();
}

void RyvoStatusDockWidget::refresh_portal_part(const RyvoPluginStatusSnapshot& s, bool locked) {
    const bool pending = s.has_pending_portal_link;
    portal_frame->setVisible(!locked && (pending || is_manual(s)));
    relink_button->setVisible(!locked && !pending && !is_manual(s));
    relink_button->setText(QString::fromUtf8(
        s.has_runtime_credentials ? "Change Stream\u2026" : "Link Ryvo Account\u2026"));
    // Hidden by the line above, or the dock itself is closed: no polling, and the next time the
    // part comes on screen a poll is due at once.
    if (!portal_frame->isVisible()) {
        last_poll_started = 0;
        return;
    }
    portal_message_label->setText(text(portal_message(s)));
    portal_message_label->setStyleSheet(pending ? kPortalPendingStyle : kPortalMessageStyle);
    const bool show_code = pending && !s.portal_link_verification_code.empty();
    verification_code_label->setText(text(s.portal_link_verification_code));
    verification_code_label->setVisible(show_code);
    copy_code_button->setVisible(show_code);
    link_button->setText("Link with Portal");
    link_button->setVisible(!locked && is_manual(s));
    open_portal_button->setVisible(!locked && pending && !s.portal_link_verification_url.empty());
    open_portal_button->setText(s.has_runtime_credentials ? "Open Change Stream Page"
                                                          : "Open Link Page");
    cancel_link_button->setVisible(!locked && pending);
    if (!locked && pending) {
        maybe_poll_portal_link();
    }
}

void RyvoStatusDockWidget::refresh_figures(const RyvoPluginStatusSnapshot& s) {
    const StatusSnapshot& status = s.runtime_status;
    const RamCacheSnapshot& cache = s.cache_status;
    output_value->setText(text(output_status_text(s)));
    output_detail->setText(text(attached_output_text(s)));
    link_value->setText(text(health_text(s)));
    link_detail->setText(text(link_status_detail(s)));
    runtime_value->setText(text(format_runtime(status.started_at)));
    runtime_detail->setText(text(runtime_detail_text(s)));
    const int percent = cache_percent(cache.total_bytes, cache.max_bytes);
    cache_value->setText(QString::number(percent) + "%");
    cache_detail->setText(
        text(format_megabytes(cache.total_bytes) + " of " + format_megabytes(cache.max_bytes)));
    cache_progress->setValue(percent);

    account_row->setText(text(linked_account_text(s)));
    target_stream_row->setText(text(target_stream_text(s)));
    attached_output_row->setText(text(attached_output_text(s)));
    const bool streaming_capture =
        s.output_label == "ryvo_stream" || s.attached || status.streaming;
    capture_mode_row->setText(streaming_capture ? "streaming" : to_string(s.capture_mode));
    // The running session's error first, then why the last attach was refused, then what is wrong
    // with the settings.
    const std::string& last_error = !status.last_error.empty() ? status.last_error
                                    : !s.attach_error.empty()  ? s.attach_error
                                                               : s.config_problem;
    last_error_row->setText(last_error.empty() ? "none" : text(last_error));
    packets_row->setText("total=" + number(s.packets) + "  video=" + number(s.video_packets) +
                         "  audio=" + number(s.audio_packets));
    last_upload_row->setText(text(format_age(status.last_upload_at)));
    dropped_packets_row->setText(number(s.dropped_mux_packets));
    cache_row->setText(
        text(format_megabytes(cache.total_bytes) + " / " + format_megabytes(cache.max_bytes)));
}

}  // namespace ryvoobs

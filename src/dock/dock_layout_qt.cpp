#include "dock/dock_layout_qt.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace ryvoobs {

const char* const kDockRootStyle =
    "#ryvoStatusRoot { background: #20242f; }"
    "#ryvoStatusSection { background: #2a3040; border: 1px solid #3f4961; border-radius: 12px; }"
    "#ryvoStatusSectionTitle { color: #dbe5ff; font-size: 13px; font-weight: 700; "
    "letter-spacing: 0.04em; }"
    "#ryvoStatusMetricCard { background: rgba(255,255,255,0.04); border: 1px solid #414b63; "
    "border-radius: 12px; }"
    "#ryvoStatusMetricTitle { color: #97a6c6; font-size: 10px; font-weight: 700; "
    "letter-spacing: 0.12em; text-transform: uppercase; }"
    "#ryvoStatusMetricValue { color: #f6f8ff; font-size: 16px; font-weight: 700; }"
    "#ryvoStatusMetricDetail { color: #b2bfd9; font-size: 11px; }"
    "QLabel { color: #edf2ff; }"
    "QLineEdit { background: #181c25; color: #f6f8ff; border: 1px solid #46516b; "
    "border-radius: 8px; padding: 10px 12px; selection-background-color: #2b6ef3; }"
    "QLineEdit:focus { border-color: #5f91ff; }"
    "QPushButton { background: #2b6ef3; color: white; border: 0; border-radius: 9px; "
    "padding: 8px 12px; font-size: 13px; font-weight: 700; min-height: 34px; }"
    "QPushButton:hover { background: #3b7dfd; }"
    "QPushButton:pressed { background: #205fd8; }"
    "QScrollArea { border: 0; background: transparent; }"
    "QScrollBar:vertical { background: #20242f; width: 10px; margin: 8px 2px; "
    "border-radius: 5px; }"
    "QScrollBar::handle:vertical { background: #4a5673; min-height: 24px; border-radius: 5px; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
    "QProgressBar { background: #181c25; border: 1px solid #414b63; border-radius: 6px; }"
    "QProgressBar::chunk { background: #3b82f6; border-radius: 5px; }";

const char* const kSecondaryButtonStyle =
    "QPushButton { background: #353d4f; color: #e7ecfb; border: 0; border-radius: 9px; "
    "padding: 8px 12px; font-size: 13px; font-weight: 700; min-height: 34px; }"
    "QPushButton:hover { background: #40495d; }"
    "QPushButton:pressed { background: #2f3747; }";

namespace {

QLabel* metric_label(QWidget* parent, const char* object_name, const QString& text = {}) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(object_name);
    label->setWordWrap(true);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

}  // namespace

QFrame* build_metric_card(QWidget* parent, const QString& title, QLabel** value, QLabel** detail,
                          QProgressBar** progress) {
    auto* card = new QFrame(parent);
    card->setObjectName("ryvoStatusMetricCard");
    card->setMinimumWidth(0);
    card->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(6);
    layout->addWidget(metric_label(card, "ryvoStatusMetricTitle", title));
    *value = metric_label(card, "ryvoStatusMetricValue");
    layout->addWidget(*value);
    if (progress != nullptr) {
        *progress = new QProgressBar(card);
        (*progress)->setTextVisible(false);
        (*progress)->setRange(0, 100);
        (*progress)->setValue(0);
        (*progress)->setFixedHeight(10);
        layout->addWidget(*progress);
    }
    *detail = metric_label(card, "ryvoStatusMetricDetail");
    layout->addWidget(*detail);
    // Cards in one grid row share the taller one's height; keep each card's text at its top.
    layout->addStretch(1);
    return card;
}

QFrame* build_section_frame(QWidget* parent, const QString& title, QVBoxLayout** body,
                            bool expanded) {
    auto* section = new QFrame(parent);
    section->setObjectName("ryvoStatusSection");
    section->setFrameShape(QFrame::StyledPanel);
    section->setMinimumWidth(0);
    section->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(14, 12, 14, 14);
    layout->setSpacing(10);

    auto* header = new QHBoxLayout();
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(8);
    auto* title_label = new QLabel(title, section);
    title_label->setObjectName("ryvoStatusSectionTitle");
    header->addWidget(title_label);
    header->addStretch();
    auto* toggle = new QToolButton(section);
    toggle->setAutoRaise(true);
    toggle->setCheckable(true);
    toggle->setChecked(expanded);
    toggle->setCursor(Qt::PointingHandCursor);
    toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle->setStyleSheet(
        "QToolButton { color: #c9d3ee; border: 0; padding: 2px 6px; "
        "font-size: 11px; font-weight: 700; }"
        "QToolButton:hover { color: #f6f8ff; }");
    header->addWidget(toggle, 0, Qt::AlignRight);
    layout->addLayout(header);

    auto* body_widget = new QWidget(section);
    *body = new QVBoxLayout(body_widget);
    (*body)->setContentsMargins(0, 0, 0, 0);
    (*body)->setSpacing(8);
    layout->addWidget(body_widget);
    // isHidden, not isVisible: the section is built before the dock is ever shown.
    body_widget->setHidden(!expanded);
    sync_section_toggle(toggle, body_widget);
    QObject::connect(toggle, &QToolButton::clicked, body_widget, [toggle, body_widget] {
        body_widget->setHidden(!body_widget->isHidden());
        sync_section_toggle(toggle, body_widget);
    });
    return section;
}

void sync_section_toggle(QToolButton* toggle, QWidget* body) {
    if (toggle == nullptr || body == nullptr) {
        return;
    }
    const bool hidden = body->isHidden();
    toggle->setArrowType(hidden ? Qt::RightArrow : Qt::DownArrow);
    toggle->setText(hidden ? "Show" : "Hide");
    toggle->setChecked(!hidden);
}

}  // namespace ryvoobs

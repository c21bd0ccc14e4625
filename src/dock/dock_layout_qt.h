#pragma once

#include <QString>

class QFrame;
class QLabel;
class QProgressBar;
class QToolButton;
class QVBoxLayout;
class QWidget;

namespace ryvoobs {

extern const char* const kDockRootStyle;
extern const char* const kSecondaryButtonStyle;

// A titled card of the dock's metric grid: value, detail and, when `progress` is given, a bar.
QFrame* build_metric_card(QWidget* parent, const QString& title, QLabel** value, QLabel** detail,
                          QProgressBar** progress);

// A panel whose body a Show/Hide button folds away; the content goes into `body`.
QFrame* build_section_frame(QWidget* parent, const QString& title, QVBoxLayout** body,
                            bool expanded);

// Points the button's arrow and text at what a click would do to `body`.
void sync_section_toggle(QToolButton* toggle, QWidget* body);

}  // namespace ryvoobs

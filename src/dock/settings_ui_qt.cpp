#include "dock/settings_ui.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QCoreApplication>
#include <QDockWidget>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>

#include <string>

#include "capture/obs_log.h"
#include "dock/localized_text_qt.h"
#include "dock/status_dock_widget_qt.h"

namespace ryvoobs {
namespace {

constexpr const char* kDockId = "ryvoObsStatusDock";
constexpr int kDockWidth = 360;

QPointer<RyvoStatusDockWidget> status_dock;
bool installed = false;
bool events_followed = false;
obs_hotkey_id diagnostics_hotkey = OBS_INVALID_HOTKEY_ID;
#if LIBOBS_API_VER < MAKE_SEMANTIC_VERSION(30, 0, 0)
// OBS 29 docks a QDockWidget of ours; later releases wrap the widget in one of their own.
QPointer<QDockWidget> dock_frame;
#endif

QMainWindow* main_window() {
    return static_cast<QMainWindow*>(obs_frontend_get_main_window());
}

// Hotkeys fire on OBS's hotkey thread; the click happens on the Qt main thread.
void press_diagnostics_button(void* /*data*/, obs_hotkey_id /*id*/, obs_hotkey_t* /*hotkey*/,
                              bool pressed) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!pressed || app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [] {
            if (status_dock) {
                status_dock->diagnostics_button->click();
            }
        },
        Qt::QueuedConnection);
}

bool add_dock(RyvoStatusDockWidget* widget, const std::string& title) {
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
    return obs_frontend_add_dock_by_id(kDockId, title.c_str(), widget);
#else
    QMainWindow* window = main_window();
    if (window == nullptr) {
        return false;
    }
    auto* frame = new QDockWidget(window);
    frame->setObjectName(kDockId);
    frame->setWindowTitle(QString::fromStdString(title));
    frame->setWidget(widget);
    window->addDockWidget(Qt::RightDockWidgetArea, frame);
    if (obs_frontend_add_dock(frame) == nullptr) {
        frame->setWidget(nullptr);
        widget->setParent(nullptr);
        delete frame;
        return false;
    }
    dock_frame = frame;
    return true;
#endif
}

void remove_dock() {
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
    obs_frontend_remove_dock(kDockId);
#else
    delete dock_frame.data();
#endif
}

void show_docked() {
    QMainWindow* window = main_window();
    auto* frame = window != nullptr ? window->findChild<QDockWidget*>(kDockId) : nullptr;
    if (frame == nullptr) {
        return;
    }
    // A dock OBS has no saved place for would get the narrow width its contents allow (they may
    // shrink to nothing); one the user has placed keeps its width.
    const bool placed = frame->isVisible();
    frame->setFloating(false);
    frame->show();
    frame->raise();
    if (!placed) {
        window->resizeDocks({frame}, {kDockWidth}, Qt::Horizontal);
    }
}

// OBS lays out its docks once it has loaded every module and hides the ones it has no saved place
// for, so the dock is brought back once loading has finished.
void frontend_event(enum obs_frontend_event event, void* /*data*/) {
    switch (event) {
        case OBS_FRONTEND_EVENT_FINISHED_LOADING:
            show_docked();
            break;
        default:
            break;
    }
}

}  // namespace

bool install_settings_ui() {
    if (installed) {
        return true;
    }
    if (!status_dock) {
        auto* widget = new RyvoStatusDockWidget(nullptr);
        const std::string title = localized_text_utf8("RyvoObs.StatusTitle", "Ryvo Stream Status");
        if (add_dock(widget, title)) {
            status_dock = widget;
            show_docked();
            obs_frontend_add_event_callback(frontend_event, nullptr);
            events_followed = true;
        } else {
            ryvo_log(LOG_WARNING, "failed to install Ryvo status dock");
            delete widget;
        }
    }
    diagnostics_hotkey =
        obs_hotkey_register_frontend("ryvo_copy_diagnostics", "Ryvo: Copy Diagnostics for Support",
                                     press_diagnostics_button, nullptr);
    installed = true;
    ryvo_log(LOG_INFO, "installed Ryvo settings UI and status dock");
    return true;
}

void uninstall_settings_ui() {
    if (diagnostics_hotkey != OBS_INVALID_HOTKEY_ID) {
        obs_hotkey_unregister(diagnostics_hotkey);
        diagnostics_hotkey = OBS_INVALID_HOTKEY_ID;
    }
    if (events_followed) {
        obs_frontend_remove_event_callback(frontend_event, nullptr);
        events_followed = false;
    }
    remove_dock();
    status_dock = nullptr;
    installed = false;
}

}  // namespace ryvoobs

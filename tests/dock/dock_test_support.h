// The dock in a test process: a Qt application on the offscreen platform beside the real libobs
// of the capture tests (started in-process under the wrapper's Xvfb), with the plug-in's streaming
// service registered so that linking can select it.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QLabel>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "capture/native_stream_service_obs.h"
// Its environment starts OBS; being included first, it is set up before the one below.
#include "capture/obs_test_support.h"

namespace ryvoobs::testing {

class DockEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        app_ = std::make_unique<QApplication>(argc_, argv_);
        register_stream_service();
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[16] = "dock-tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const dock_environment =
    ::testing::AddGlobalTestEnvironment(new DockEnvironment);

// Runs the Qt event loop (the dock's timer, queued poll results) until `done` holds or `limit`
// passes.
inline bool pump_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string text_of(const QLabel* label) {
    return label->text().toStdString();
}

// A change made to the settings behind the store's back is read on another thread, so the dock
// shows it a refresh or two later: refreshes until `label` reads `text`.
template <typename Dock>
bool refresh_until(Dock& dock, const QLabel* label, const std::string& text) {
    return pump_until([&] {
        dock.refresh();
        return text_of(label) == text;
    });
}

}  // namespace ryvoobs::testing

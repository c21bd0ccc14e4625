#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "config/plugin_config.h"
#include "runtime/delivery_progress.h"
#include "runtime/runtime_maintenance.h"
#include "runtime/ryvo_runtime.h"

namespace ryvoobs {

struct DeliverySettings {
    std::string config_path;
    std::string state_path;
    // Empty: the libcurl client.
    RyvoRuntime::ClientFactory client_factory;
    // Every line of the delivery, without any prefix; called from the delivery's own thread and
    // from finish() and shutdown(). Must be thread-safe; may be empty.
    MaintenanceLog log;
    // Packets the front end dropped before muxing, for the status line; may be empty.
    std::function<std::uint64_t()> mux_drops;
    // Called once, on the delivery's own thread with no lock of the delivery held, when the
    // service refuses the key or does not know the stream. May be empty.
    std::function<void(const std::string& message)> on_fatal;
    // How long a finishing delivery may go on before its segments count as gone; empty: the
    // configuration's ram_buffer_minutes, the time the cache is sized to hold them. Tests
    // shorten it.
    std::optional<std::chrono::milliseconds> finishing_window;
};

// One broadcast's delivery from start to its end, on its own threads: the runtime and session,
// the maintenance thread (backfill polls every 2 s, heartbeats every 10 s, the status line) and,
// after finish(), the finishing phase: uploads go on with their normal retry and back-off,
// segments the server never confirmed are queued again, and once the server is missing nothing
// up to the last sequence the end of the broadcast is posted (retried with back-off).
//
// A finishing delivery gives up when its segments have left the cache window, when the service
// refuses the key or does not know the stream, or at shutdown; it then logs which sequences were
// not delivered and why.
//
// Threads: start(), finish(), cancel(), progress() and the feeding calls may come from any thread
// and never wait on the network or on a lock held across a request (finish() takes the session
// mutex briefly to cut the last segment). wait_done() and shutdown() block, bounded by their
// deadline. The destructor is shutdown() with a deadline of now.
class BroadcastDelivery {
  public:
    using Clock = std::chrono::steady_clock;

    explicit BroadcastDelivery(DeliverySettings settings);
    ~BroadcastDelivery();

    BroadcastDelivery(const BroadcastDelivery&) = delete;
    BroadcastDelivery& operator=(const BroadcastDelivery&) = delete;

    // Reads the configuration and the checkpoint, starts the session and the maintenance thread.
    // No network. False (with the reason) when the configuration cannot be read or no thread can
    // be started; only once per delivery.
    bool start(std::string* error);
    // The configuration the delivery runs with; empty before a successful start().
    std::optional<PluginConfig> config() const;

    void push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                            bool keyframe);
    void report_error(std::string message);

    // Cuts the last partial segment and hands the rest to the delivery's threads; returns at
    // once. Later calls do nothing.
    void finish();
    // Gives up now with `reason` and aborts requests in flight within about 100 ms; returns at
    // once. Does nothing once the delivery is done.
    void cancel(const std::string& reason);

    DeliveryProgress progress() const;
    bool done() const;
    // Blocks until the delivery is done or `deadline` passes; true when done.
    bool wait_done(Clock::time_point deadline) const;
    // Waits for the delivery to be done until `deadline`, then cancels whatever is left
    // ("shut down before delivery finished") and joins the delivery's threads.
    void shutdown(Clock::time_point deadline);

  private:
    struct State;

    void run_maintenance(std::stop_token stop);
    void finishing_pass(Clock::time_point now);
    bool try_post_end(Clock::time_point now);
    void complete();
    void give_up(const std::string& reason);
    void note_fatal(const std::string& message);
    void log(bool warning, const std::string& message) const;

    const DeliverySettings settings_;
    const std::unique_ptr<RyvoRuntime> runtime_;
    const std::unique_ptr<State> state_;
    std::jthread maintenance_;
};

}  // namespace ryvoobs

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/ryvo_api_client.h"
#include "config/plugin_config.h"
#include "runtime/ram_segment_cache.h"
#include "runtime/ryvo_session.h"
#include "runtime/status_tracker.h"

namespace ryvoobs {

class CheckpointWriter;

// What a stopped session left behind, read before it was destroyed.
struct StopResidue {
    StatusSnapshot status;
    RamCacheSnapshot cache;
    SessionDeliveryFigures delivery;
};

// The one object through which the plug-in drives delivery: it loads the configuration, owns the
// API client built from it and at most one running session.
//
// One mutex, the session mutex, serialises feeding, snapshots, load, start and the detaching step
// of a stop. Network exchanges never run under it: the backfill poll, the heartbeat and the end
// take what they need, release it, and take it again only to act on the answer, so a slow or
// unreachable server never holds up the bytes coming from the encoder. Nor does the checkpoint:
// a writer thread of its own stores it.
class RyvoRuntime {
  public:
    using ClientFactory = std::function<std::shared_ptr<RyvoApiClient>(PluginConfig)>;
    // A valid configuration, or nothing with the reason.
    using ConfigLoader = std::function<std::optional<PluginConfig>(std::string* error)>;

    // Without a factory the libcurl client is used. The path form loads the file at `config_path`
    // with its key in the file.
    RyvoRuntime(std::string config_path, std::string state_path, ClientFactory client_factory = {});
    RyvoRuntime(ConfigLoader config_loader, std::string state_path,
                ClientFactory client_factory = {});
    // stop_now() without telling the server that the broadcast ended.
    ~RyvoRuntime();

    RyvoRuntime(const RyvoRuntime&) = delete;
    RyvoRuntime& operator=(const RyvoRuntime&) = delete;

    // (Re)reads the configuration and rebuilds the client. True when a configuration is present.
    bool load(std::string* error);
    // Starts a session unless one runs. True when a session runs afterwards.
    bool start(std::string* error);
    // Ends the upload worker after the job at hand and destroys the session; what it left.
    // Waits for that job's request unless cancel() came first.
    StopResidue stop_now();
    // Cuts the tail of the broadcast into a last segment; the session keeps uploading.
    void finish();
    // Queues again the session's segments the server has not confirmed and that are not in
    // flight.
    void requeue_unconfirmed();
    // Tells the server that the broadcast ended; the session, if any, is left alone.
    ApiStatus post_end(std::string* error);
    // Aborts the client's requests in flight and fails every later one; for a delivery that has
    // been given up. Returns at once.
    void cancel();

    void push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                            bool keyframe);
    void report_error(std::string message);
    void report_auth_failed(bool failed);

    // `missing` (may be null) receives the sequences the server listed.
    ApiStatus poll_backfill(std::string* error, std::vector<std::int64_t>* missing = nullptr);
    ApiStatus send_heartbeat(std::string* error);

    bool loaded() const;
    // A copy of the loaded configuration, so that a later load() cannot pull it from under the
    // caller.
    std::optional<PluginConfig> config() const;
    RamCacheSnapshot cache_snapshot() const;
    StatusSnapshot status_snapshot() const;
    SessionDeliveryFigures delivery_figures() const;
    // No upload queued or running; true without a session.
    bool uploads_idle() const;
    // Why uploads halted for good; "" while they run or without a session.
    std::string uploads_halt_reason() const;

  private:
    bool load_locked(std::string* error);
    std::unique_ptr<RyvoSession> take_session();

    const ConfigLoader config_loader_;
    const std::string state_path_;
    const ClientFactory client_factory_;

    mutable std::mutex mutex_;
    std::optional<PluginConfig> config_;
    std::shared_ptr<RyvoApiClient> client_;
    std::unique_ptr<RyvoSession> session_;
    // Tells an answer that arrived after its session ended from one for the current session.
    std::uint64_t session_generation_ = 0;
};

}  // namespace ryvoobs

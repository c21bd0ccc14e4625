#include <mutex>
#include <optional>

#include "capture/frontend_api.h"
#include "capture/frontend_hook_obs.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/plugin_status_snapshot.h"
#include "config/config_store.h"

namespace ryvoobs {

RyvoPluginStatusSnapshot plugin_status_snapshot() {
    RyvoPluginStatusSnapshot snapshot;
    // Outside the attachment lock, and without retrying a failed read: this runs every second on
    // the UI thread and must not wait for the credential store.
    const ConfigReading reading = plugin_config_store().read();
    PacketTapState& tap = packet_tap_state();
    std::lock_guard lock(tap.mutex);
    snapshot.attach_error = attach_refusal_locked();
    snapshot.hook_installed = obs_hook_installed();
    snapshot.attached = tap.output != nullptr;
    snapshot.active_service_is_ryvo = frontend_api().active_streaming_service_is_ryvo();
    snapshot.capture_mode = tap.capture_mode;
    snapshot.runtime_mode = tap.runtime_mode.load(std::memory_order_acquire);
    if (snapshot.attached) {
        snapshot.output_label = tap.output_kind;
    }
    snapshot.video_codec = tap.video_codec;
    snapshot.audio_codec = tap.audio_codec;
    snapshot.packets = tap.packets.load(std::memory_order_relaxed);
    snapshot.video_packets = tap.video_packets.load(std::memory_order_relaxed);
    snapshot.audio_packets = tap.audio_packets.load(std::memory_order_relaxed);
    snapshot.dropped_mux_packets = tap.queue.drops();

    if (tap.runtime) {
        snapshot.runtime_status = tap.runtime->status_snapshot();
        snapshot.cache_status = tap.runtime->cache_snapshot();
        // The configuration the running session was started with, not the file's latest.
        if (const std::optional<PluginConfig> config = tap.runtime->config()) {
            copy_config_fields(*config, &snapshot);
        }
        return snapshot;
    }
    if (!reading.readable()) {
        snapshot.config_error = reading.unreadable_message();
        return snapshot;
    }
    copy_config_fields(reading.config, &snapshot);
    snapshot.capture_mode = reading.config.capture_mode;
    snapshot.runtime_mode = static_cast<std::uint32_t>(reading.config.runtime_mode);
    return snapshot;
}

}  // namespace ryvoobs

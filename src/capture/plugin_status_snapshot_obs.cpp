#include <mutex>
#include <optional>

#include "capture/frontend_api.h"
#include "capture/frontend_hook_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/plugin_status_snapshot.h"
#include "config/config_file.h"

namespace ryvoobs {

RyvoPluginStatusSnapshot plugin_status_snapshot() {
    RyvoPluginStatusSnapshot snapshot;
    PacketTapState& tap = packet_tap_state();
    std::lock_guard lock(tap.mutex);
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
    if (const std::optional<PluginConfig> config =
            read_config_file(default_config_path(), nullptr)) {
        copy_config_fields(*config, &snapshot);
        snapshot.capture_mode = config->capture_mode;
        snapshot.runtime_mode = static_cast<std::uint32_t>(config->runtime_mode);
    }
    return snapshot;
}

}  // namespace ryvoobs

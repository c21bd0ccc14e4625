#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

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
    const ConfigReading reading = plugin_config_store().current();
    PacketTap::Attachment tap = packet_tap().attachment();
    snapshot.attach_error = attach_refusal_locked();
    snapshot.hook_installed = obs_hook_installed();
    snapshot.attached = tap.attached();
    snapshot.active_service_is_ryvo = frontend_api().active_streaming_service_is_ryvo();
    snapshot.capture_mode = tap.capture_mode();
    snapshot.runtime_mode = static_cast<std::uint32_t>(tap.runtime_mode());
    if (snapshot.attached) {
        snapshot.output_label = tap.output_kind();
    }
    snapshot.video_codec = tap.video_codec();
    snapshot.audio_codec = tap.audio_codec();
    const TapCounters counters = packet_tap().counters();
    snapshot.packets = counters.packets;
    snapshot.video_packets = counters.video_packets;
    snapshot.audio_packets = counters.audio_packets;
    snapshot.dropped_mux_packets = counters.mux_drops;

    const std::vector<DeliveryProgress> finishing = packet_tap().finishing().progress();
    snapshot.finishing_deliveries = finishing.size();
    for (const DeliveryProgress& progress : finishing) {
        snapshot.finishing_segments += progress.segments_left;
    }
    if (const std::optional<DeliveryProgress> outcome = packet_tap().finishing().last_outcome()) {
        snapshot.last_delivery_result = delivery_result_text(*outcome);
    }
    if (const std::shared_ptr<BroadcastDelivery>& delivery = tap.delivery()) {
        const DeliveryProgress progress = delivery->progress();
        snapshot.runtime_status = progress.status;
        snapshot.cache_status = progress.cache;
        // The configuration the running session was started with, not the file's latest.
        if (const std::optional<PluginConfig> config = delivery->config()) {
            copy_config_fields(*config, &snapshot);
        }
        return snapshot;
    }
    // Between broadcasts the upload queue shown is what the finishing ones still have to send.
    for (const DeliveryProgress& progress : finishing) {
        snapshot.runtime_status.upload_queue_depth += progress.status.upload_queue_depth;
        if (!progress.status.last_error.empty()) {
            snapshot.runtime_status.last_error = progress.status.last_error;
        }
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

#pragma once

#include <cstdint>
#include <string>

#include "config/plugin_config.h"
#include "runtime/delivery_progress.h"
#include "runtime/ram_segment_cache.h"
#include "runtime/status_tracker.h"

namespace ryvoobs {

// One consistent copy of everything the dock and the support bundle show about the plug-in.
// Holds no secret: neither the API key, nor the portal poll token, nor the service backup.
struct RyvoPluginStatusSnapshot {
    bool hook_installed = false;
    bool enabled = true;
    bool attached = false;
    bool active_service_is_ryvo = false;
    bool has_runtime_credentials = false;
    bool has_pending_portal_link = false;
    std::int32_t auth_mode = static_cast<std::int32_t>(AuthMode::portal);
    std::string stream_id;
    std::string selected_stream_name;
    std::string linked_account_email;
    std::string linked_account_name;
    std::string portal_link_session_id;
    std::string portal_link_verification_code;
    std::string portal_link_verification_url;
    std::string portal_link_expires_at;
    // Why the configuration file cannot be acted on (its first validation message); "" when it can.
    std::string config_problem;
    CaptureMode capture_mode = CaptureMode::streaming;
    // A RuntimeMode value.
    std::uint32_t runtime_mode = 0;
    std::string output_label = "none";
    std::string video_codec;
    std::string audio_codec;
    std::uint64_t packets = 0;
    std::uint64_t video_packets = 0;
    std::uint64_t audio_packets = 0;
    std::uint64_t dropped_mux_packets = 0;
    StatusSnapshot runtime_status;
    RamCacheSnapshot cache_status;
    // "Could not read the Ryvo settings: ..." when the configuration file could not be read; the
    // configuration fields then keep their defaults, which say nothing about the install.
    std::string config_error;
    // Why the last attach was refused, until one succeeds.
    std::string attach_error;
    // Stopped broadcasts whose delivery goes on in the background, and the segments they still
    // have to deliver.
    std::uint64_t finishing_deliveries = 0;
    std::uint64_t finishing_segments = 0;
    // How the most recent stopped broadcast's delivery ended; "" before one has.
    std::string last_delivery_result;
};

// "delivered; end of broadcast posted" or "sequences 8-11 not delivered: <reason>".
std::string delivery_result_text(const DeliveryProgress& progress);

// Copies what the snapshot shows of a configuration: the switches, the link state and its texts,
// and what keeps it from being acted on.
void copy_config_fields(const PluginConfig& config, RyvoPluginStatusSnapshot* snapshot);

// Gathers the snapshot under the attachment lock, with the configuration as the store last read
// it. Calls the OBS frontend: OBS's UI thread only.
RyvoPluginStatusSnapshot plugin_status_snapshot();

}  // namespace ryvoobs

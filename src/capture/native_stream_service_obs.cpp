// The "Ryvo Delayed Stream" service and its output. The output sends nothing itself: it hands
// OBS's encoded packets to the packet tap, which muxes, segments and uploads them.

#include "capture/native_stream_service_obs.h"

#include <obs-module.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "capture/native_stream_rules.h"
#include "capture/obs_log.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "config/config_store.h"
#include "config/plugin_config.h"

namespace ryvoobs {
namespace {

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(29, 1, 0)
constexpr const char* kProtocol = "RYVO";
#endif

struct RyvoServiceData {
    std::string url;
    std::string key;
};

struct RyvoOutputData {
    // The output this data belongs to; libobs keeps it alive for as long as the data exists.
    obs_output_t* output = nullptr;
    bool active = false;
    // Encoded bytes taken since the last start: OBS's status bar shows the bitrate from them.
    std::atomic<std::uint64_t> total_bytes{0};
};

bool can_start_ryvo_stream(std::string* message) {
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    const std::optional<std::string> refusal = native_stream_start_refusal(config, load_error);
    if (refusal && message != nullptr) {
        *message = *refusal;
    }
    return !refusal;
}

void load_service_state(RyvoServiceData* data) {
    if (data == nullptr) {
        return;
    }
    const std::optional<PluginConfig> config = plugin_config_store().load(nullptr);
    data->url = config ? config->api_endpoint : std::string();
    data->key = config ? config->stream_id : std::string();
}

// OBS's stored settings of the service may name the stream themselves.
void apply_settings_override(RyvoServiceData* data, obs_data_t* settings) {
    if (settings == nullptr) {
        return;
    }
    const char* stream_id = obs_data_get_string(settings, "stream_id");
    if (stream_id != nullptr && stream_id[0] != '\0') {
        data->key = stream_id;
    }
}

const char* service_name(void* /*type_data*/) {
    return obs_module_text("RyvoObs.ServiceName");
}

void* service_create(obs_data_t* settings, obs_service_t* /*service*/) {
    auto* data = new RyvoServiceData;
    load_service_state(data);
    apply_settings_override(data, settings);
    return data;
}

void service_destroy(void* data) {
    delete static_cast<RyvoServiceData*>(data);
}

void service_update(void* data, obs_data_t* settings) {
    auto* service = static_cast<RyvoServiceData*>(data);
    if (service == nullptr) {
        return;
    }
    load_service_state(service);
    apply_settings_override(service, settings);
}

void service_defaults(obs_data_t* settings) {
    obs_data_set_default_string(settings, "api_endpoint", default_api_endpoint().c_str());
}

obs_properties_t* empty_properties(void* /*data*/) {
    return obs_properties_create();
}

bool service_initialize(void* /*data*/, obs_output_t* output) {
    std::string message;
    const bool ok = can_start_ryvo_stream(&message);
    if (output != nullptr && !ok) {
        obs_output_set_last_error(output, message.c_str());
    }
    return ok;
}

const char* service_url(void* data) {
    return data != nullptr ? static_cast<RyvoServiceData*>(data)->url.c_str() : "";
}

const char* service_key(void* data) {
    return data != nullptr ? static_cast<RyvoServiceData*>(data)->key.c_str() : "";
}

void service_apply_encoder_settings(void* /*data*/, obs_data_t* video_settings,
                                    obs_data_t* /*audio_settings*/) {
    // A refused stream never starts, so the user's encoder settings stay as they were.
    if (video_settings == nullptr || !can_start_ryvo_stream(nullptr)) {
        return;
    }
    obs_data_set_int(video_settings, "keyint_sec", kNativeStreamKeyframeIntervalSeconds);
    obs_data_set_string(video_settings, "rate_control", kNativeStreamRateControl);
}

const char* service_output_type(void* /*data*/) {
    return kRyvoStreamOutputId;
}

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(29, 1, 0)
const char* service_protocol(void* /*data*/) {
    return kProtocol;
}

const char* service_connect_info(void* data, uint32_t type) {
    if (data == nullptr) {
        return nullptr;
    }
    switch (type) {
        case OBS_SERVICE_CONNECT_INFO_SERVER_URL:
            return static_cast<RyvoServiceData*>(data)->url.c_str();
        case OBS_SERVICE_CONNECT_INFO_STREAM_KEY:
            return static_cast<RyvoServiceData*>(data)->key.c_str();
        default:
            return nullptr;
    }
}

bool service_can_try_to_connect(void* /*data*/) {
    return can_start_ryvo_stream(nullptr);
}
#endif

const char* output_name(void* /*type_data*/) {
    return obs_module_text("RyvoObs.OutputName");
}

void* output_create(obs_data_t* /*settings*/, obs_output_t* output) {
    auto* data = new RyvoOutputData;
    data->output = output;
    return data;
}

void output_destroy(void* data) {
    delete static_cast<RyvoOutputData*>(data);
}

const char* encoder_codec(obs_encoder_t* encoder) {
    return encoder != nullptr ? obs_encoder_get_codec(encoder) : nullptr;
}

bool output_start(void* opaque) {
    auto* data = static_cast<RyvoOutputData*>(opaque);
    if (data == nullptr || data->output == nullptr) {
        return false;
    }
    obs_output_t* output = data->output;
    std::string message;
    if (!can_start_ryvo_stream(&message)) {
        obs_output_set_last_error(output, message.c_str());
        return false;
    }
    if (!native_stream_codecs_supported(encoder_codec(obs_output_get_video_encoder(output)),
                                        encoder_codec(obs_output_get_audio_encoder(output, 0)))) {
        obs_output_set_last_error(output, kNativeStreamCodecMessage);
        return false;
    }
    if (!obs_output_can_begin_data_capture(output, 0) ||
        !obs_output_initialize_encoders(output, 0)) {
        return false;
    }
    data->total_bytes.store(0, std::memory_order_relaxed);
    if (!activate_native_stream_output(output, &message)) {
        obs_output_set_last_error(output, message.c_str());
        return false;
    }
    if (!obs_output_begin_data_capture(output, 0)) {
        deactivate_native_stream_output(output);
        return false;
    }
    data->active = true;
    return true;
}

void output_stop(void* opaque, uint64_t /*ts*/) {
    auto* data = static_cast<RyvoOutputData*>(opaque);
    if (data == nullptr || data->output == nullptr) {
        return;
    }
    deactivate_native_stream_output(data->output);
    if (data->active) {
        obs_output_end_data_capture(data->output);
    }
    data->active = false;
}

void output_encoded_packet(void* opaque, encoder_packet* packet) {
    auto* data = static_cast<RyvoOutputData*>(opaque);
    if (data != nullptr && data->output != nullptr) {
        if (packet != nullptr) {
            data->total_bytes.fetch_add(packet->size, std::memory_order_relaxed);
        }
        packet_tap().take_native_packet(data->output, packet);
    }
}

uint64_t output_total_bytes(void* opaque) {
    const auto* data = static_cast<RyvoOutputData*>(opaque);
    return data != nullptr ? data->total_bytes.load(std::memory_order_relaxed) : 0;
}

#ifdef OBS_OUTPUT_MULTI_TRACK_AV
constexpr uint32_t kMultiTrack = OBS_OUTPUT_MULTI_TRACK_AV;
#else
constexpr uint32_t kMultiTrack = OBS_OUTPUT_MULTI_TRACK;
#endif

obs_service_info service_info() {
    obs_service_info info{};
    info.id = kRyvoStreamServiceId;
    info.get_name = service_name;
    info.create = service_create;
    info.destroy = service_destroy;
    info.update = service_update;
    info.get_defaults = service_defaults;
    info.get_properties = empty_properties;
    info.initialize = service_initialize;
    info.get_url = service_url;
    info.get_key = service_key;
    info.apply_encoder_settings = service_apply_encoder_settings;
    info.get_output_type = service_output_type;
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(29, 1, 0)
    info.get_protocol = service_protocol;
    info.get_connect_info = service_connect_info;
    info.can_try_to_connect = service_can_try_to_connect;
#endif
    return info;
}

obs_output_info output_info() {
    obs_output_info info{};
    info.id = kRyvoStreamOutputId;
    info.flags = OBS_OUTPUT_AV | OBS_OUTPUT_ENCODED | OBS_OUTPUT_SERVICE | kMultiTrack;
    info.get_name = output_name;
    info.create = output_create;
    info.destroy = output_destroy;
    info.start = output_start;
    info.stop = output_stop;
    info.encoded_packet = output_encoded_packet;
    info.get_total_bytes = output_total_bytes;
    info.get_properties = empty_properties;
    info.encoded_video_codecs = "h264";
    info.encoded_audio_codecs = "aac";
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(29, 1, 0)
    info.protocols = kProtocol;
#endif
    return info;
}

bool registered = false;

}  // namespace

void register_stream_service() {
    if (registered) {
        return;
    }
    registered = true;
    const obs_service_info service = service_info();
    obs_register_service_s(&service, sizeof service);
    const obs_output_info output = output_info();
    obs_register_output_s(&output, sizeof output);
    ryvo_log(LOG_INFO, "registered Ryvo-native OBS streaming service and output");
}

}  // namespace ryvoobs

#include "capture/frontend_packet_source_obs.h"

#include "capture/packet_tap_obs.h"

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(31, 0, 0)

#include <cstdint>

namespace ryvoobs {
namespace {

void* token_param(std::uint64_t token) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(token));
}

void ryvo_packet_callback(obs_output_t* /*output*/, encoder_packet* packet,
                          encoder_packet_time* /*packet_time*/, void* param) {
    packet_tap().take_packet(packet, reinterpret_cast<std::uintptr_t>(param));
}

}  // namespace

bool connect_frontend_packets(PacketTap::Attachment& /*tap*/, obs_output_t* output,
                              std::uint64_t token, std::string* /*error*/) {
    obs_output_add_packet_callback(output, ryvo_packet_callback, token_param(token));
    return true;
}

void disconnect_frontend_packets(PacketTap::Attachment& /*tap*/, obs_output_t* output,
                                 std::uint64_t token) {
    obs_output_remove_packet_callback(output, ryvo_packet_callback, token_param(token));
}

}  // namespace ryvoobs

#else

// Before packet callbacks existed, the packets of an output are had by a second, hidden output of
// our own that shares its encoders (libobs lets several outputs share encoders). It is never
// offered to the user: it has no protocol and no service, and nothing in OBS's interface lists
// output types. It must never keep the shared encoders running after OBS's own output stopped, so
// it stops together with that output.

#include <obs.hpp>

#include <mutex>
#include <string>
#include <utility>

namespace ryvoobs {
namespace {

constexpr const char* kTapOutputId = "ryvo_packet_tap";
constexpr const char* kTapOutputName = "ryvo packet tap";
constexpr const char* kTokenSetting = "token";

struct TapOutputData {
    obs_output_t* output = nullptr;
    std::uint64_t token = 0;
};

// The hidden output of the current attachment, with its own references to the shared encoders so
// that they outlive it. Guarded by the attachment lock.
struct FrontendTap {
    // Borrowed: the tap's attachment holds the reference.
    obs_output_t* tapped = nullptr;
    OBSOutputAutoRelease tap;
    OBSEncoderAutoRelease video_encoder;
    OBSEncoderAutoRelease audio_encoder;
};

FrontendTap frontend_tap;

const char* tap_get_name(void* /*type_data*/) {
    return "Ryvo Packet Tap";
}

void* tap_create(obs_data_t* settings, obs_output_t* output) {
    auto* data = new TapOutputData;
    data->output = output;
    data->token = static_cast<std::uint64_t>(obs_data_get_int(settings, kTokenSetting));
    return data;
}

void tap_destroy(void* data) {
    delete static_cast<TapOutputData*>(data);
}

bool tap_start(void* data) {
    auto* tap = static_cast<TapOutputData*>(data);
    if (!obs_output_can_begin_data_capture(tap->output, 0) ||
        !obs_output_initialize_encoders(tap->output, 0)) {
        return false;
    }
    return obs_output_begin_data_capture(tap->output, 0);
}

void tap_stop(void* data, std::uint64_t /*ts*/) {
    // Also when capture never began: libobs waits for the stop to be signalled.
    obs_output_end_data_capture(static_cast<TapOutputData*>(data)->output);
}

void tap_encoded_packet(void* data, encoder_packet* packet) {
    packet_tap().take_packet(packet, static_cast<TapOutputData*>(data)->token);
}

void register_tap_output() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        obs_output_info info{};
        info.id = kTapOutputId;
        info.flags = OBS_OUTPUT_AV | OBS_OUTPUT_ENCODED;
        info.get_name = tap_get_name;
        info.create = tap_create;
        info.destroy = tap_destroy;
        info.start = tap_start;
        info.stop = tap_stop;
        info.encoded_packet = tap_encoded_packet;
        obs_register_output(&info);
    });
}

// Runs on the thread that ends the tapped output's capture.
void on_tapped_output_stop(void* param, calldata_t* /*data*/) {
    obs_output_stop(static_cast<obs_output_t*>(param));
}

void release_frontend_tap() {
    if (frontend_tap.tapped != nullptr && frontend_tap.tap != nullptr) {
        signal_handler_disconnect(obs_output_get_signal_handler(frontend_tap.tapped), "stop",
                                  on_tapped_output_stop, frontend_tap.tap.Get());
    }
    if (frontend_tap.tap != nullptr) {
        obs_output_stop(frontend_tap.tap);
    }
    // The tap output before the encoders it uses.
    frontend_tap.tap = nullptr;
    frontend_tap.video_encoder = nullptr;
    frontend_tap.audio_encoder = nullptr;
    frontend_tap.tapped = nullptr;
}

void set_error(std::string* error, std::string message) {
    if (error != nullptr) {
        *error = std::move(message);
    }
}

}  // namespace

bool connect_frontend_packets(PacketTap::Attachment& /*tap*/, obs_output_t* output,
                              std::uint64_t token, std::string* error) {
    release_frontend_tap();
    register_tap_output();
    frontend_tap.tapped = output;
    frontend_tap.video_encoder = obs_encoder_get_ref(obs_output_get_video_encoder(output));
    frontend_tap.audio_encoder = obs_encoder_get_ref(obs_output_get_audio_encoder(output, 0));
    if (frontend_tap.video_encoder == nullptr || frontend_tap.audio_encoder == nullptr) {
        release_frontend_tap();
        set_error(error, "the OBS output has no video or audio encoder to tap");
        return false;
    }

    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_int(settings, kTokenSetting, static_cast<long long>(token));
    frontend_tap.tap = obs_output_create(kTapOutputId, kTapOutputName, settings, nullptr);
    if (frontend_tap.tap == nullptr) {
        release_frontend_tap();
        set_error(error, "the packet tap output could not be created");
        return false;
    }
    obs_output_set_video_encoder(frontend_tap.tap, frontend_tap.video_encoder);
    obs_output_set_audio_encoder(frontend_tap.tap, frontend_tap.audio_encoder, 0);

    // Connected before the start, and checked after it, so that a stop of the tapped output at
    // any moment also stops the tap.
    signal_handler_connect(obs_output_get_signal_handler(output), "stop", on_tapped_output_stop,
                           frontend_tap.tap.Get());
    if (!obs_output_active(output)) {
        release_frontend_tap();
        set_error(error, "the OBS output is not running");
        return false;
    }
    if (!obs_output_start(frontend_tap.tap)) {
        release_frontend_tap();
        set_error(error, "the packet tap output did not start");
        return false;
    }
    if (!obs_output_active(output)) {
        release_frontend_tap();
        set_error(error, "the OBS output stopped while it was being tapped");
        return false;
    }
    return true;
}

void disconnect_frontend_packets(PacketTap::Attachment& /*tap*/, obs_output_t* output,
                                 std::uint64_t /*token*/) {
    if (frontend_tap.tapped == output) {
        release_frontend_tap();
    }
}

}  // namespace ryvoobs

#endif

#include "capture/output_attachment_obs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "capture/codec_config.h"
#include "capture/frontend_packet_source_obs.h"
#include "capture/obs_log.h"
#include "capture/packet_tap_obs.h"
#include "capture/transport_stream_codecs.h"
#include "config/config_store.h"
#include "runtime/broadcast_delivery.h"
#include "runtime/sequence_checkpoint.h"

namespace ryvoobs {
namespace {

constexpr const char* kNativeOutputId = "ryvo_output";
constexpr const char* kTurnedOffMessage =
    "Ryvo is turned off. Turn Ryvo on in the dock before starting the stream.";
constexpr const char* kPortalNotLinkedMessage =
    "This OBS install is not linked yet. Finish the Ryvo Portal link before starting the stream.";
constexpr const char* kManualMissingMessage =
    "Ryvo is missing stream credentials. Select a stream and link this OBS install first.";
constexpr const char* kNoVideoMetadataMessage =
    "Ryvo muxer could not start because video encoder metadata was unavailable.";

// Why the last attach failed, for the dock; cleared by the next attach that succeeds. Guarded by
// the attachment lock.
std::string last_refusal;

void refuse(std::string* error, const std::string& message) {
    last_refusal = message;
    if (error != nullptr) {
        *error = message;
    }
}

// Why a configuration cannot carry a broadcast, or nothing when it can.
std::optional<std::string> attach_refusal(const PluginConfig& config) {
    if (!config.enabled) {
        return kTurnedOffMessage;
    }
    if (config.stream_id.empty() || config.api_key.empty()) {
        return config.auth_mode == AuthMode::portal ? kPortalNotLinkedMessage
                                                    : kManualMissingMessage;
    }
    return std::nullopt;
}

// Lower-case, as the muxer names codecs: some OBS encoders report "AAC".
std::string encoder_codec(const obs_encoder_t* encoder) {
    const char* codec = encoder != nullptr ? obs_encoder_get_codec(encoder) : nullptr;
    std::string name = codec != nullptr ? codec : "";
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

std::vector<std::uint8_t> encoder_extradata(obs_encoder_t* encoder) {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (!obs_encoder_get_extra_data(encoder, &data, &size) || data == nullptr) {
        return {};
    }
    return std::vector<std::uint8_t>(data, data + size);
}

std::int32_t channel_count(speaker_layout layout) {
    return static_cast<std::int32_t>(get_audio_channels(layout));
}

std::optional<CodecConfig> video_codec_config(obs_output_t* output) {
    obs_encoder_t* encoder = obs_output_get_video_encoder(output);
    obs_video_info video{};
    if (encoder == nullptr || !obs_get_video_info(&video)) {
        return std::nullopt;
    }
    CodecConfig config;
    config.kind = MediaKind::video;
    config.codec = encoder_codec(encoder);
    config.extradata = encoder_extradata(encoder);
    config.width = static_cast<std::int32_t>(video.output_width);
    config.height = static_cast<std::int32_t>(video.output_height);
    config.time_base_num = 1;
    config.time_base_den = 1000;
    return config;
}

std::optional<CodecConfig> audio_codec_config(obs_output_t* output) {
    obs_encoder_t* encoder = obs_output_get_audio_encoder(output, 0);
    obs_audio_info audio{};
    if (encoder == nullptr || !obs_get_audio_info(&audio)) {
        return std::nullopt;
    }
    CodecConfig config;
    config.kind = MediaKind::audio;
    config.codec = encoder_codec(encoder);
    config.extradata = encoder_extradata(encoder);
    config.sample_rate = static_cast<std::int32_t>(audio.samples_per_sec);
    config.channels = channel_count(audio.speakers);
    config.time_base_num = 1;
    config.time_base_den = config.sample_rate;
    return config;
}

const char* source_name(TapSource source) {
    return source == TapSource::native_output ? "native_output" : "frontend_callback";
}

const char* or_unknown(const std::string& text) {
    return text.empty() ? "unknown" : text.c_str();
}

// Builds the muxer and starts the mux worker; the user-facing reason on failure.
std::optional<std::string> start_muxing(PacketTap::Attachment& tap) {
    try {
        const std::optional<CodecConfig> video = video_codec_config(tap.output());
        const std::optional<CodecConfig> audio = audio_codec_config(tap.output());
        if (!video) {
            return kNoVideoMetadataMessage;
        }
        tap.start_muxing(std::make_shared<MpegTsMuxer>(*video, audio));
    } catch (const std::exception& failure) {
        return std::string("Ryvo muxer could not start: ") + failure.what();
    }
    ryvo_log(LOG_INFO, "Ryvo runtime and MPEG-TS muxer started");
    return std::nullopt;
}

// Attach's failure after the tap was recorded: a delivery that never carried a broadcast has
// nothing to finish, so it gives up at once; then everything is let go again.
bool fail_attach(PacketTap::Attachment& tap, const std::string& message, std::string* error) {
    if (const std::shared_ptr<BroadcastDelivery>& delivery = tap.delivery()) {
        delivery->cancel(message);
    }
    detach_stream_output(tap, BroadcastEnd::keep_open);
    refuse(error, message);
    return false;
}

// OBS learns that its stream cannot be delivered (the key is rejected, the stream unknown) the
// way it learns it from its own outputs: the output stops with an error and OBS shows the text.
// Runs on the delivery's thread, as OBS's own outputs signal from their send threads; the weak
// reference lets the output go away first.
std::function<void(const std::string&)> stop_output_on_fatal(obs_output_t* output) {
    auto weak = std::make_shared<OBSWeakOutputAutoRelease>(obs_output_get_weak_output(output));
    return [weak](const std::string& message) {
        const OBSOutputAutoRelease alive = obs_weak_output_get_output(*weak);
        if (alive == nullptr) {
            return;
        }
        ryvo_log(LOG_WARNING, "stopping the Ryvo stream output: %s", message.c_str());
        obs_output_set_last_error(alive, message.c_str());
        obs_output_signal_stop(alive, OBS_OUTPUT_INVALID_STREAM);
    };
}

std::shared_ptr<BroadcastDelivery> make_delivery(obs_output_t* output, TapSource source) {
    DeliverySettings settings;
    // Read through the store, which the callers brought up to date before taking the attachment
    // lock: no credential-store round trip happens here.
    settings.config_loader = [](std::string* load_error) {
        return plugin_config_store().load(load_error);
    };
    settings.state_path = default_state_path();
    settings.log = [](bool warning, const std::string& line) {
        ryvo_log(warning ? LOG_WARNING : LOG_INFO, "%s", line.c_str());
    };
    settings.mux_drops = [] { return packet_tap().counters().mux_drops; };
    if (source == TapSource::native_output) {
        settings.on_fatal = stop_output_on_fatal(output);
    }
    return std::make_shared<BroadcastDelivery>(std::move(settings));
}

}  // namespace

bool attach_stream_output(PacketTap::Attachment& tap, OBSOutputAutoRelease output,
                          CaptureMode capture_mode, std::string output_kind, TapSource source,
                          std::string* error) {
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    std::optional<std::string> refusal;
    if (!config) {
        refusal = load_error.empty() ? "Ryvo configuration is unavailable." : load_error;
    } else {
        refusal = attach_refusal(*config);
        if (!refusal && config->runtime_mode == RuntimeMode::full) {
            refusal = transport_stream_codec_refusal(
                encoder_codec(obs_output_get_video_encoder(output.Get())));
        }
    }
    if (refusal) {
        refuse(error, *refusal);
        ryvo_log(
            LOG_WARNING, "refusing OBS attachment: %s",
            config || !load_error.empty() ? refusal->c_str() : "Ryvo configuration is unavailable");
        return false;
    }

    obs_output_t* const raw = output.Get();
    const std::uint64_t token = tap.begin(std::move(output), capture_mode, std::move(output_kind),
                                          source, encoder_codec(obs_output_get_video_encoder(raw)),
                                          encoder_codec(obs_output_get_audio_encoder(raw, 0)));
    if (source == TapSource::frontend_callback) {
        std::string tap_error;
        if (!connect_frontend_packets(tap, raw, token, &tap_error)) {
            const std::string message =
                "Ryvo could not tap the OBS " + tap.output_kind() + " output: " + tap_error + ".";
            ryvo_log(LOG_WARNING, "%s", message.c_str());
            return fail_attach(tap, message, error);
        }
    }

    if (config->runtime_mode == RuntimeMode::tap_only) {
        ryvo_log(LOG_INFO, "running in tap-only mode; runtime and muxer startup are disabled");
    } else {
        const std::shared_ptr<BroadcastDelivery> delivery = make_delivery(raw, source);
        std::string start_error;
        if (!delivery->start(&start_error)) {
            ryvo_log(LOG_WARNING, "Ryvo runtime did not start: %s", start_error.c_str());
            return fail_attach(tap, start_error, error);
        }
        tap.set_delivery(delivery);
        if (config->runtime_mode == RuntimeMode::runtime_only) {
            ryvo_log(LOG_INFO,
                     "Ryvo runtime started in runtime-only mode; muxer startup is disabled");
        } else if (const std::optional<std::string> failure = start_muxing(tap)) {
            ryvo_log(LOG_WARNING, "%s", failure->c_str());
            return fail_attach(tap, *failure, error);
        }
    }

    tap.accept(config->runtime_mode);
    last_refusal.clear();
    ryvo_log(LOG_INFO,
             "attached Ryvo ingest to OBS %s output '%s' via %s (video=%s audio=%s mode=%s)",
             tap.output_kind().c_str(), obs_output_get_name(raw), source_name(source),
             or_unknown(tap.video_codec()), or_unknown(tap.audio_codec()),
             to_string(config->runtime_mode));
    return true;
}

void detach_stream_output(PacketTap::Attachment& tap, BroadcastEnd end) {
    obs_output_t* const output = tap.output();
    if (output != nullptr && tap.source() == TapSource::frontend_callback) {
        disconnect_frontend_packets(tap, output, tap.token());
    }
    tap.finish_delivery(end);
    if (output != nullptr) {
        ryvo_log(LOG_INFO, "detached from OBS %s output after %llu packets",
                 tap.output_kind().c_str(),
                 static_cast<unsigned long long>(packet_tap().counters().packets));
    }
    tap.end();
}

bool activate_native_stream_output(obs_output_t* output, std::string* error) {
    // Before the attachment lock: reading may ask the credential store.
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    PacketTap::Attachment tap = packet_tap().attachment();
    if (output == nullptr) {
        refuse(error, "Ryvo stream output was unavailable.");
        return false;
    }
    if (!config) {
        refuse(error, load_error.empty() ? "Ryvo config could not be loaded." : load_error);
        return false;
    }
    if (const std::optional<std::string> refusal = attach_refusal(*config)) {
        refuse(error, *refusal);
        return false;
    }
    if (tap.attached()) {
        if (tap.output() == output && tap.source() == TapSource::native_output) {
            return true;
        }
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }
    OBSOutputAutoRelease reference = obs_output_get_ref(output);
    if (reference == nullptr) {
        refuse(error, "Ryvo could not acquire the OBS stream output.");
        return false;
    }
    return attach_stream_output(tap, std::move(reference), CaptureMode::streaming, "ryvo_stream",
                                TapSource::native_output, error);
}

void deactivate_native_stream_output(obs_output_t* output) {
    PacketTap::Attachment tap = packet_tap().attachment();
    if (tap.attached() && tap.source() == TapSource::native_output &&
        (output == nullptr || output == tap.output())) {
        detach_stream_output(tap, BroadcastEnd::post);
    }
}

const std::string& attach_refusal_locked() {
    return last_refusal;
}

bool is_ryvo_native_output(const obs_output_t* output) {
    const char* id = output != nullptr ? obs_output_get_id(output) : nullptr;
    return id != nullptr && std::strcmp(id, kNativeOutputId) == 0;
}

}  // namespace ryvoobs

#include "capture/output_attachment_obs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "capture/codec_config.h"
#include "capture/frontend_packet_source_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/transport_stream_codecs.h"
#include "config/config_store.h"
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
std::optional<std::string> start_muxing_locked(PacketTapState& tap) {
    try {
        const std::optional<CodecConfig> video = video_codec_config(tap.output);
        const std::optional<CodecConfig> audio = audio_codec_config(tap.output);
        if (!video) {
            return kNoVideoMetadataMessage;
        }
        tap.muxer = std::make_shared<MpegTsMuxer>(*video, audio);
        tap.queue.open(tap.token);
        start_mux_worker_locked();
    } catch (const std::exception& failure) {
        return std::string("Ryvo muxer could not start: ") + failure.what();
    }
    blog(LOG_INFO, "[ryvo-obs] Ryvo runtime and MPEG-TS muxer started");
    return std::nullopt;
}

}  // namespace

bool attach_stream_output_locked(obs_output_t* output, CaptureMode capture_mode,
                                 std::string output_kind, TapSource source, std::string* error) {
    PacketTapState& tap = packet_tap_state();

    // Read through the store, which the callers brought up to date before taking the lock: no
    // credential-store round trip happens here.
    auto runtime = std::make_shared<RyvoRuntime>(
        [](std::string* load_error) { return plugin_config_store().load(load_error); },
        default_state_path());
    std::string load_error;
    const bool loaded = runtime->load(&load_error);
    const std::optional<PluginConfig> config = loaded ? runtime->config() : std::nullopt;
    std::optional<std::string> refusal;
    if (!config) {
        refusal = load_error.empty() ? "Ryvo configuration is unavailable." : load_error;
    } else {
        refusal = attach_refusal(*config);
        if (!refusal && config->runtime_mode == RuntimeMode::full) {
            refusal =
                transport_stream_codec_refusal(encoder_codec(obs_output_get_video_encoder(output)));
        }
    }
    if (refusal) {
        refuse(error, *refusal);
        blog(
            LOG_WARNING, "[ryvo-obs] refusing OBS attachment: %s",
            config || !load_error.empty() ? refusal->c_str() : "Ryvo configuration is unavailable");
        obs_output_release(output);
        return false;
    }

    tap.capture_mode = capture_mode;
    tap.output_kind = std::move(output_kind);
    tap.source = source;
    tap.video_codec = encoder_codec(obs_output_get_video_encoder(output));
    tap.audio_codec = encoder_codec(obs_output_get_audio_encoder(output, 0));
    tap.packets.store(0, std::memory_order_relaxed);
    tap.video_packets.store(0, std::memory_order_relaxed);
    tap.audio_packets.store(0, std::memory_order_relaxed);
    tap.token += 1;
    if (tap.token == 0) {
        tap.token = 1;
    }
    tap.output = output;
    if (source == TapSource::frontend_callback) {
        std::string tap_error;
        if (!connect_frontend_packets_locked(output, tap.token, &tap_error)) {
            const std::string message =
                "Ryvo could not tap the OBS " + tap.output_kind + " output: " + tap_error + ".";
            blog(LOG_WARNING, "[ryvo-obs] %s", message.c_str());
            detach_stream_output_locked(false);
            refuse(error, message);
            return false;
        }
    }

    tap.runtime_mode.store(static_cast<std::uint32_t>(config->runtime_mode),
                           std::memory_order_release);
    if (config->runtime_mode == RuntimeMode::tap_only) {
        blog(LOG_INFO,
             "[ryvo-obs] running in tap-only mode; runtime and muxer startup are disabled");
    } else {
        std::string start_error;
        if (!runtime->start(&start_error)) {
            blog(LOG_WARNING, "[ryvo-obs] Ryvo runtime did not start: %s", start_error.c_str());
            detach_stream_output_locked(false);
            refuse(error, start_error);
            return false;
        }
        tap.runtime = runtime;
        try {
            start_background_worker_locked();
        } catch (const std::exception& failure) {
            const std::string message =
                std::string("Ryvo runtime could not start: ") + failure.what();
            blog(LOG_WARNING, "[ryvo-obs] %s", message.c_str());
            detach_stream_output_locked(false);
            refuse(error, message);
            return false;
        }
        if (config->runtime_mode == RuntimeMode::runtime_only) {
            blog(LOG_INFO,
                 "[ryvo-obs] Ryvo runtime started in runtime-only mode; muxer startup is disabled");
        } else if (const std::optional<std::string> failure = start_muxing_locked(tap)) {
            blog(LOG_WARNING, "[ryvo-obs] %s", failure->c_str());
            detach_stream_output_locked(false);
            refuse(error, *failure);
            return false;
        }
    }

    tap.active_token.store(tap.token, std::memory_order_release);
    last_refusal.clear();
    blog(LOG_INFO,
         "[ryvo-obs] attached Ryvo ingest to OBS %s output '%s' via %s (video=%s audio=%s "
         "mode=%s)",
         tap.output_kind.c_str(), obs_output_get_name(output), source_name(source),
         or_unknown(tap.video_codec), or_unknown(tap.audio_codec), to_string(config->runtime_mode));
    return true;
}

void detach_stream_output_locked(bool end_broadcast) {
    PacketTapState& tap = packet_tap_state();
    obs_output_t* const output = tap.output;
    tap.active_token.store(0, std::memory_order_release);
    tap.queue.close();
    if (output != nullptr && tap.source == TapSource::frontend_callback) {
        disconnect_frontend_packets_locked(output, tap.token);
    }
    stop_background_worker_locked();
    stop_mux_worker_locked();

    if (tap.runtime) {
        const StatusSnapshot before = tap.runtime->status_snapshot();
        const auto started = std::chrono::steady_clock::now();
        blog(LOG_INFO, "[ryvo-obs] stop: draining runtime; queue=%llu sequence=%lld",
             static_cast<unsigned long long>(before.upload_queue_depth),
             static_cast<long long>(before.current_sequence));
        std::string end_error;
        bool ok = true;
        if (end_broadcast) {
            ok = tap.runtime->stop_and_end(&end_error);
        } else {
            tap.runtime->stop();
        }
        const StatusSnapshot after = tap.runtime->status_snapshot();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        blog(LOG_INFO, "[ryvo-obs] stop: drain complete in %lld ms; queue_residual=%llu error=%s",
             static_cast<long long>(elapsed.count()),
             static_cast<unsigned long long>(after.upload_queue_depth),
             after.last_error.empty() ? "none" : after.last_error.c_str());
        if (end_broadcast) {
            if (ok) {
                blog(LOG_INFO, "[ryvo-obs] stop: Ryvo broadcast ended");
            } else {
                blog(LOG_WARNING, "[ryvo-obs] stop: could not end Ryvo broadcast: %s",
                     end_error.empty() ? "unknown error" : end_error.c_str());
            }
        }
        tap.runtime.reset();
    }
    tap.muxer.reset();

    if (output != nullptr) {
        blog(LOG_INFO, "[ryvo-obs] detached from OBS %s output after %llu packets",
             tap.output_kind.c_str(),
             static_cast<unsigned long long>(tap.packets.load(std::memory_order_relaxed)));
        obs_output_release(output);
    }
    tap.output = nullptr;
    tap.source = TapSource::none;
    tap.video_codec.clear();
    tap.audio_codec.clear();
    tap.runtime_mode.store(0, std::memory_order_release);
    tap.capture_mode = CaptureMode::streaming;
    tap.output_kind = "streaming";
    tap.queue.reset_drops();
}

bool activate_native_stream_output(obs_output_t* output, std::string* error) {
    PacketTapState& tap = packet_tap_state();
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    std::lock_guard lock(tap.mutex);
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
    if (tap.output != nullptr) {
        if (tap.output == output && tap.source == TapSource::native_output) {
            return true;
        }
        detach_stream_output_locked(false);
    }
    obs_output_t* reference = obs_output_get_ref(output);
    if (reference == nullptr) {
        refuse(error, "Ryvo could not acquire the OBS stream output.");
        return false;
    }
    return attach_stream_output_locked(reference, CaptureMode::streaming, "ryvo_stream",
                                       TapSource::native_output, error);
}

void deactivate_native_stream_output(obs_output_t* output) {
    PacketTapState& tap = packet_tap_state();
    std::lock_guard lock(tap.mutex);
    if (tap.output != nullptr && tap.source == TapSource::native_output &&
        (output == nullptr || output == tap.output)) {
        detach_stream_output_locked(true);
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

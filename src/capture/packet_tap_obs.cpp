#include "capture/packet_tap_obs.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <stop_token>
#include <utility>

#include "capture/obs_log.h"
#include "capture/runtime_maintenance.h"
#include "platform/batch_scheduling.h"

namespace ryvoobs {
namespace {

constexpr std::chrono::milliseconds kMaintenancePause{200};
// The muxer is built from the output's first video and audio encoders; packets of its other
// tracks (a recording's further audio tracks) would be mixed into the same transport stream.
constexpr std::size_t kMuxedTrack = 0;

PacketTap tap;

bool is_video(const encoder_packet& packet) {
    return packet.type == OBS_ENCODER_VIDEO;
}

// Gives back the reference that hold_packet took; libobs frees the packet with its last one.
void release_obs_packet(void* data) noexcept {
    encoder_packet packet{};
    packet.data = static_cast<std::uint8_t*>(data);
    obs_encoder_packet_release(&packet);
}

// The packet as the mux worker needs it, holding a reference to OBS's reference-counted payload
// (every packet OBS hands to outputs and packet callbacks has its count in front of the bytes)
// instead of a copy of it.
EncodedMediaPacket hold_packet(encoder_packet& packet) {
    EncodedMediaPacket held;
    held.kind = is_video(packet) ? MediaKind::video : MediaKind::audio;
    if (packet.data != nullptr && packet.size != 0) {
        encoder_packet reference{};
        obs_encoder_packet_ref(&reference, &packet);
        held.data = PacketPayload::held({reference.data, reference.size}, release_obs_packet,
                                        reference.data);
    }
    held.pts = packet.pts;
    held.dts = packet.dts;
    held.timebase_num = packet.timebase_num;
    held.timebase_den = packet.timebase_den;
    held.keyframe = packet.keyframe;
    held.track_index = packet.track_idx;
    return held;
}

void stop_worker(std::jthread& thread, bool& running) {
    if (!running) {
        return;
    }
    thread.request_stop();
    thread.join();
    thread = std::jthread();
    running = false;
}

}  // namespace

PacketTap::~PacketTap() {
    active_token_.store(0, std::memory_order_release);
    native_output_.store(nullptr, std::memory_order_release);
    queue_.close();
    stop_worker(background_worker_.thread, background_worker_.running);
    stop_worker(mux_worker_.thread, mux_worker_.running);
    queue_.discard();
    runtime_.reset();
    muxer_.reset();
}

PacketTap& packet_tap() {
    return tap;
}

void PacketTap::take_packet(encoder_packet* packet, std::uint64_t token) {
    if (packet == nullptr) {
        ryvo_log(LOG_WARNING, "received null encoder packet from OBS");
        return;
    }
    if (token == 0 || token != active_token_.load(std::memory_order_acquire) ||
        packet->track_idx != kMuxedTrack) {
        return;
    }
    const std::uint64_t previous = packets_.fetch_add(1, std::memory_order_relaxed);
    if (is_video(*packet)) {
        video_packets_.fetch_add(1, std::memory_order_relaxed);
    } else if (packet->type == OBS_ENCODER_AUDIO) {
        audio_packets_.fetch_add(1, std::memory_order_relaxed);
    }
    // The first packet says the tap works; each keyframe after it only matters when debugging,
    // and at INFO would push everything else out of the log.
    if (previous == 0 || (is_video(*packet) && packet->keyframe)) {
        ryvo_log(previous == 0 ? LOG_INFO : LOG_DEBUG,
                 "packet tap active: type=%s size=%zu keyframe=%s pts=%lld dts=%lld timebase=%d/%d",
                 is_video(*packet) ? "video" : "audio", packet->size,
                 packet->keyframe ? "true" : "false", static_cast<long long>(packet->pts),
                 static_cast<long long>(packet->dts), static_cast<int>(packet->timebase_num),
                 static_cast<int>(packet->timebase_den));
    }
    if (runtime_mode_.load(std::memory_order_acquire) <
        static_cast<std::uint32_t>(RuntimeMode::full)) {
        return;
    }
    const MuxPushOutcome outcome = queue_.push(token, hold_packet(*packet));
    if (outcome.result == MuxPushOutcome::Result::dropped && should_log_mux_drop(outcome.drops)) {
        ryvo_log(LOG_WARNING, "mux queue overflow; dropped packets=%zu depth=%zu max=%zu",
                 static_cast<std::size_t>(outcome.drops), outcome.depth, kMuxQueueCapacity);
    }
}

void PacketTap::take_native_packet(const obs_output_t* output, encoder_packet* packet) {
    // Read without the attachment lock: an attach or a detach in progress must not stall the
    // encoder. A packet that races a detach finds the token gone.
    const obs_output_t* native = native_output_.load(std::memory_order_acquire);
    if (native == nullptr || (output != nullptr && output != native)) {
        return;
    }
    take_packet(packet, active_token_.load(std::memory_order_acquire));
}

PacketTap::Attachment PacketTap::attachment() {
    return Attachment(*this);
}

TapCounters PacketTap::counters() const {
    return TapCounters{packets_.load(std::memory_order_relaxed),
                       video_packets_.load(std::memory_order_relaxed),
                       audio_packets_.load(std::memory_order_relaxed), queue_.drops()};
}

void PacketTap::run_mux_worker(std::stop_token stop, std::shared_ptr<RyvoRuntime> runtime,
                               std::shared_ptr<MpegTsMuxer> muxer) {
    // A refusal only costs the encoder thread some latency; the worker runs either way.
    use_batch_scheduling_for_this_thread();
    while (std::optional<EncodedMediaPacket> packet = queue_.wait_pop(stop)) {
        const std::optional<MuxedChunk> chunk = muxer->write_packet(*packet);
        // OBS's packet goes back as soon as its bytes are in the transport stream.
        packet.reset();
        if (!chunk || chunk->bytes.empty()) {
            continue;
        }
        runtime->push_encoded_bytes(chunk->bytes, chunk->duration_ms, chunk->keyframe);
        if (chunk->keyframe) {
            ryvo_log(LOG_DEBUG, "mux emitted chunk: bytes=%zu duration_ms=%d", chunk->bytes.size(),
                     chunk->duration_ms);
        }
    }
}

void PacketTap::run_background_worker(std::stop_token stop, std::shared_ptr<RyvoRuntime> runtime) {
    MaintainedRuntime maintained{
        [&runtime](std::string* error) { return runtime->poll_backfill(error); },
        [&runtime](std::string* error) { return runtime->send_heartbeat(error); },
        [&runtime](std::string message) { runtime->report_error(std::move(message)); },
        [&runtime](bool failed) { runtime->report_auth_failed(failed); },
        [&runtime] { return runtime->status_snapshot(); },
        [&runtime] { return runtime->cache_snapshot(); },
        [this] { return queue_.drops(); },
    };
    MaintenanceLog log = [](bool warning, const std::string& message) {
        ryvo_log(warning ? LOG_WARNING : LOG_INFO, "%s", message.c_str());
    };
    RuntimeMaintenance maintenance(std::move(maintained), std::move(log),
                                   RuntimeMaintenance::Clock::now());
    // Only the stop request wakes this wait early.
    std::mutex pause_mutex;
    std::condition_variable_any pause;
    while (!stop.stop_requested()) {
        maintenance.run_pass(RuntimeMaintenance::Clock::now());
        std::unique_lock lock(pause_mutex);
        pause.wait_for(lock, stop, kMaintenancePause, [] { return false; });
    }
}

AttachmentView PacketTap::Attachment::view() const {
    return AttachmentView{attached() ? tap_.source_ : TapSource::none, tap_.capture_mode_,
                          tap_.output_kind_};
}

RuntimeMode PacketTap::Attachment::runtime_mode() const {
    return static_cast<RuntimeMode>(tap_.runtime_mode_.load(std::memory_order_acquire));
}

std::uint64_t PacketTap::Attachment::begin(OBSOutputAutoRelease output, CaptureMode capture_mode,
                                           std::string output_kind, TapSource source,
                                           std::string video_codec, std::string audio_codec) {
    tap_.capture_mode_ = capture_mode;
    tap_.output_kind_ = std::move(output_kind);
    tap_.source_ = source;
    tap_.video_codec_ = std::move(video_codec);
    tap_.audio_codec_ = std::move(audio_codec);
    tap_.packets_.store(0, std::memory_order_relaxed);
    tap_.video_packets_.store(0, std::memory_order_relaxed);
    tap_.audio_packets_.store(0, std::memory_order_relaxed);
    tap_.token_ += 1;
    if (tap_.token_ == 0) {
        tap_.token_ = 1;
    }
    tap_.output_ = std::move(output);
    return tap_.token_;
}

void PacketTap::Attachment::start_runtime(std::shared_ptr<RyvoRuntime> runtime) {
    tap_.runtime_ = std::move(runtime);
    if (tap_.background_worker_.running) {
        return;
    }
    tap_.background_worker_.thread =
        std::jthread([this_tap = &tap_, runtime = tap_.runtime_](std::stop_token stop) {
            this_tap->run_background_worker(std::move(stop), runtime);
        });
    tap_.background_worker_.running = true;
}

void PacketTap::Attachment::start_muxing(std::shared_ptr<MpegTsMuxer> muxer) {
    tap_.muxer_ = std::move(muxer);
    tap_.queue_.open(tap_.token_);
    if (!tap_.runtime_ || tap_.mux_worker_.running) {
        return;
    }
    tap_.mux_worker_.thread = std::jthread(
        [this_tap = &tap_, runtime = tap_.runtime_, muxer = tap_.muxer_](std::stop_token stop) {
            this_tap->run_mux_worker(std::move(stop), runtime, muxer);
        });
    tap_.mux_worker_.running = true;
}

void PacketTap::Attachment::accept(RuntimeMode mode) {
    tap_.runtime_mode_.store(static_cast<std::uint32_t>(mode), std::memory_order_release);
    tap_.active_token_.store(tap_.token_, std::memory_order_release);
    tap_.native_output_.store(
        tap_.source_ == TapSource::native_output ? tap_.output_.Get() : nullptr,
        std::memory_order_release);
}

std::shared_ptr<RyvoRuntime> PacketTap::Attachment::stop_delivery() {
    tap_.active_token_.store(0, std::memory_order_release);
    tap_.native_output_.store(nullptr, std::memory_order_release);
    tap_.queue_.close();
    stop_worker(tap_.background_worker_.thread, tap_.background_worker_.running);
    if (tap_.mux_worker_.running) {
        tap_.mux_worker_.thread.request_stop();
    }
    stop_worker(tap_.mux_worker_.thread, tap_.mux_worker_.running);
    // The worker muxes what was queued before it stops; anything left has no one to take it.
    tap_.queue_.discard();
    tap_.muxer_.reset();
    return std::exchange(tap_.runtime_, nullptr);
}

void PacketTap::Attachment::end() {
    tap_.output_ = nullptr;
    tap_.source_ = TapSource::none;
    tap_.video_codec_.clear();
    tap_.audio_codec_.clear();
    tap_.runtime_mode_.store(0, std::memory_order_release);
    tap_.capture_mode_ = CaptureMode::streaming;
    tap_.output_kind_ = "streaming";
    tap_.queue_.reset_drops();
}

}  // namespace ryvoobs

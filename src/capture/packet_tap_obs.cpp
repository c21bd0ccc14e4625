#include "capture/packet_tap_obs.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <stop_token>
#include <utility>

#include "capture/obs_log.h"
#include "platform/batch_scheduling.h"

namespace ryvoobs {
namespace {

// Long after a worker's last step, so that its thread has surely ended when it is joined.
constexpr std::chrono::nanoseconds kReapAfter = std::chrono::seconds(5);

// The muxer is built from the output's first video and audio encoders; packets of its other
// tracks (a recording's further audio tracks) would be mixed into the same transport stream.
constexpr std::size_t kMuxedTrack = 0;

PacketTap tap;

std::int64_t steady_nanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool is_video(const encoder_packet& packet) {
    return packet.type == OBS_ENCODER_VIDEO;
}

void log_packet(int level, bool video, std::size_t size, bool keyframe, std::int64_t pts,
                std::int64_t dts, std::int32_t timebase_num, std::int32_t timebase_den) {
    ryvo_log(level,
             "packet tap active: type=%s size=%zu keyframe=%s pts=%lld dts=%lld timebase=%d/%d",
             video ? "video" : "audio", size, keyframe ? "true" : "false",
             static_cast<long long>(pts), static_cast<long long>(dts),
             static_cast<int>(timebase_num), static_cast<int>(timebase_den));
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

}  // namespace

PacketTap::~PacketTap() {
    {
        Attachment attachment(*this);
        attachment.finish_delivery(BroadcastEnd::keep_open);
        reap_workers_locked(true);
    }
    finishing_.shutdown_all(std::chrono::milliseconds(0));
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
    const bool muxing = runtime_mode_.load(std::memory_order_acquire) >=
                        static_cast<std::uint32_t>(RuntimeMode::full);
    // The first packet says the tap works. Each keyframe after it only matters when debugging,
    // and at INFO would push everything else out of the log; while muxing, the mux worker logs
    // it, so that OBS's thread does not wait for the line to be formatted.
    if (previous == 0 || (!muxing && is_video(*packet) && packet->keyframe)) {
        log_packet(previous == 0 ? LOG_INFO : LOG_DEBUG, is_video(*packet), packet->size,
                   packet->keyframe, packet->pts, packet->dts, packet->timebase_num,
                   packet->timebase_den);
    }
    if (!muxing) {
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

void PacketTap::shut_down(std::chrono::milliseconds grace) {
    {
        Attachment attachment(*this);
        attachment.finish_delivery(BroadcastEnd::keep_open);
        // Each worker only muxes what its attachment had queued and hands its delivery over.
        reap_workers_locked(true);
    }
    finishing_.shutdown_all(grace);
}

void PacketTap::run_mux_worker(std::uint64_t token, std::shared_ptr<BroadcastDelivery> delivery,
                               std::shared_ptr<MpegTsMuxer> muxer, std::future<MuxTail> tail,
                               FinishedAt finished_at) {
    // A refusal only costs the encoder thread some latency; the worker runs either way.
    use_batch_scheduling_for_this_thread();
    // The attachment's first packet was logged when it arrived.
    bool first = true;
    const auto mux = [&delivery, &muxer, &first](EncodedMediaPacket packet) {
        if (!std::exchange(first, false) && packet.kind == MediaKind::video && packet.keyframe) {
            log_packet(LOG_DEBUG, true, packet.data.size(), true, packet.pts, packet.dts,
                       packet.timebase_num, packet.timebase_den);
        }
        const std::optional<MuxedChunk> chunk = muxer->write_packet(packet);
        // OBS's packet goes back as soon as its bytes are in the transport stream.
        packet = EncodedMediaPacket();
        if (!chunk || chunk->bytes.empty()) {
            return;
        }
        delivery->push_encoded_bytes(chunk->bytes, chunk->duration_ms, chunk->keyframe);
        if (chunk->keyframe) {
            ryvo_log(LOG_DEBUG, "mux emitted chunk: bytes=%zu duration_ms=%d", chunk->bytes.size(),
                     chunk->duration_ms);
        }
    };
    while (std::optional<EncodedMediaPacket> packet = queue_.wait_pop(token, {})) {
        mux(std::move(*packet));
    }
    // The attachment stopped: what it still had queued comes from the stop, then the last
    // partial segment is cut and the delivery finishes on its own threads.
    MuxTail rest = tail.get();
    for (EncodedMediaPacket& packet : rest.packets) {
        mux(std::move(packet));
    }
    finishing_.adopt(std::move(delivery), rest.end);
    finished_at->store(steady_nanoseconds(), std::memory_order_release);
}

void PacketTap::reap_workers_locked(bool all) {
    std::erase_if(retired_workers_, [all](RetiredWorker& worker) {
        const std::int64_t finished = worker.finished_at->load(std::memory_order_acquire);
        if (!all && (finished == 0 || steady_nanoseconds() - finished < kReapAfter.count())) {
            return false;
        }
        worker.thread.join();
        return true;
    });
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

void PacketTap::Attachment::set_delivery(std::shared_ptr<BroadcastDelivery> delivery) {
    tap_.delivery_ = std::move(delivery);
}

void PacketTap::Attachment::start_muxing(std::shared_ptr<MpegTsMuxer> muxer) {
    tap_.queue_.open(tap_.token_);
    auto finished_at = std::make_shared<std::atomic<std::int64_t>>(0);
    std::promise<MuxTail> tail;
    std::future<MuxTail> tail_result = tail.get_future();
    tap_.mux_worker_ = std::jthread(&PacketTap::run_mux_worker, &tap_, tap_.token_, tap_.delivery_,
                                    std::move(muxer), std::move(tail_result), finished_at);
    tap_.mux_worker_finished_at_ = std::move(finished_at);
    tap_.mux_tail_ = std::move(tail);
}

void PacketTap::Attachment::accept(RuntimeMode mode) {
    tap_.runtime_mode_.store(static_cast<std::uint32_t>(mode), std::memory_order_release);
    tap_.active_token_.store(tap_.token_, std::memory_order_release);
    tap_.native_output_.store(
        tap_.source_ == TapSource::native_output ? tap_.output_.Get() : nullptr,
        std::memory_order_release);
}

void PacketTap::Attachment::finish_delivery(BroadcastEnd end) {
    tap_.active_token_.store(0, std::memory_order_release);
    tap_.native_output_.store(nullptr, std::memory_order_release);
    std::vector<EncodedMediaPacket> rest = tap_.queue_.close();
    if (tap_.mux_worker_.joinable()) {
        tap_.mux_tail_.set_value(MuxTail{std::move(rest), end});
        tap_.mux_tail_ = {};
        tap_.retired_workers_.push_back(
            {std::move(tap_.mux_worker_), std::move(tap_.mux_worker_finished_at_)});
        tap_.delivery_.reset();
    } else if (tap_.delivery_) {
        tap_.finishing_.adopt(std::move(tap_.delivery_), end);
    }
    tap_.reap_workers_locked(false);
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

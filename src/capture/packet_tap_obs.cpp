#include "capture/packet_tap_obs.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <stop_token>
#include <utility>

#include "runtime/runtime_maintenance.h"
#include "platform/batch_scheduling.h"

namespace ryvoobs {
namespace {

constexpr std::chrono::milliseconds kMaintenancePause{200};

PacketTapState tap_state;

bool is_video(const encoder_packet& packet) {
    return packet.type == OBS_ENCODER_VIDEO;
}

EncodedMediaPacket copy_packet(const encoder_packet& packet) {
    EncodedMediaPacket copy;
    copy.kind = is_video(packet) ? MediaKind::video : MediaKind::audio;
    if (packet.data != nullptr && packet.size != 0) {
        copy.data.assign(packet.data, packet.data + packet.size);
    }
    copy.pts = packet.pts;
    copy.dts = packet.dts;
    copy.timebase_num = packet.timebase_num;
    copy.timebase_den = packet.timebase_den;
    copy.keyframe = packet.keyframe;
    copy.track_index = packet.track_idx;
    return copy;
}

void run_mux_worker(std::stop_token stop, std::shared_ptr<RyvoRuntime> runtime,
                    std::shared_ptr<MpegTsMuxer> muxer) {
    // A refusal only costs the encoder thread some latency; the worker runs either way.
    use_batch_scheduling_for_this_thread();
    while (std::optional<EncodedMediaPacket> packet = tap_state.queue.wait_pop(stop)) {
        const std::optional<MuxedChunk> chunk = muxer->write_packet(*packet);
        if (!chunk || chunk->bytes.empty()) {
            continue;
        }
        runtime->push_encoded_bytes(chunk->bytes, chunk->duration_ms, chunk->keyframe);
        if (chunk->keyframe) {
            blog(LOG_INFO, "[ryvo-obs] mux emitted chunk: bytes=%zu duration_ms=%d",
                 chunk->bytes.size(), chunk->duration_ms);
        }
    }
}

void run_background_worker(std::stop_token stop, std::shared_ptr<RyvoRuntime> runtime) {
    MaintainedRuntime maintained{
        [&runtime](std::string* error) { return runtime->poll_backfill(error); },
        [&runtime](std::string* error) { return runtime->send_heartbeat(error); },
        [&runtime](std::string message) { runtime->report_error(std::move(message)); },
        [&runtime](bool failed) { runtime->report_auth_failed(failed); },
        [&runtime] { return runtime->status_snapshot(); },
        [&runtime] { return runtime->cache_snapshot(); },
        [] { return tap_state.queue.drops(); },
    };
    MaintenanceLog log = [](bool warning, const std::string& message) {
        blog(warning ? LOG_WARNING : LOG_INFO, "[ryvo-obs] %s", message.c_str());
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

void stop_worker(PacketTapState::Worker& worker) {
    if (!worker.running) {
        return;
    }
    worker.thread.request_stop();
    worker.thread.join();
    worker.thread = std::jthread();
    worker.running = false;
}

}  // namespace

PacketTapState::~PacketTapState() {
    active_token.store(0, std::memory_order_release);
    queue.close();
    stop_worker(background_worker);
    stop_worker(mux_worker);
    runtime.reset();
    muxer.reset();
}

PacketTapState& packet_tap_state() {
    return tap_state;
}

void process_encoder_packet(const encoder_packet* packet, std::uint64_t token) {
    if (packet == nullptr) {
        blog(LOG_WARNING, "[ryvo-obs] received null encoder packet from OBS");
        return;
    }
    if (token == 0 || token != tap_state.active_token.load(std::memory_order_acquire)) {
        return;
    }
    const std::uint64_t previous = tap_state.packets.fetch_add(1, std::memory_order_relaxed);
    if (is_video(*packet)) {
        tap_state.video_packets.fetch_add(1, std::memory_order_relaxed);
    } else if (packet->type == OBS_ENCODER_AUDIO) {
        tap_state.audio_packets.fetch_add(1, std::memory_order_relaxed);
    }
    if (previous == 0 || (is_video(*packet) && packet->keyframe)) {
        blog(LOG_INFO,
             "[ryvo-obs] packet tap active: type=%s size=%zu keyframe=%s pts=%lld dts=%lld "
             "timebase=%d/%d",
             is_video(*packet) ? "video" : "audio", packet->size,
             packet->keyframe ? "true" : "false", static_cast<long long>(packet->pts),
             static_cast<long long>(packet->dts), static_cast<int>(packet->timebase_num),
             static_cast<int>(packet->timebase_den));
    }
    if (tap_state.runtime_mode.load(std::memory_order_acquire) <
        static_cast<std::uint32_t>(RuntimeMode::full)) {
        return;
    }
    const MuxPushOutcome outcome = tap_state.queue.push(token, copy_packet(*packet));
    if (outcome.result == MuxPushOutcome::Result::dropped && should_log_mux_drop(outcome.drops)) {
        blog(LOG_WARNING, "[ryvo-obs] mux queue overflow; dropped packets=%zu depth=%zu max=%zu",
             static_cast<std::size_t>(outcome.drops), outcome.depth, kMuxQueueCapacity);
    }
}

void ingest_native_stream_packet(const obs_output_t* output, const encoder_packet* packet) {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(tap_state.mutex);
        if (tap_state.output == nullptr || tap_state.source != TapSource::native_output) {
            return;
        }
        if (output != nullptr && output != tap_state.output) {
            return;
        }
        token = tap_state.token;
    }
    process_encoder_packet(packet, token);
}

void start_mux_worker_locked() {
    if (!tap_state.runtime || !tap_state.muxer || tap_state.mux_worker.running) {
        return;
    }
    tap_state.mux_worker.thread = std::jthread(run_mux_worker, tap_state.runtime, tap_state.muxer);
    tap_state.mux_worker.running = true;
}

void start_background_worker_locked() {
    if (!tap_state.runtime || tap_state.background_worker.running) {
        return;
    }
    tap_state.background_worker.thread = std::jthread(run_background_worker, tap_state.runtime);
    tap_state.background_worker.running = true;
}

void stop_background_worker_locked() {
    stop_worker(tap_state.background_worker);
}

void stop_mux_worker_locked() {
    if (tap_state.mux_worker.running) {
        tap_state.mux_worker.thread.request_stop();
    }
    tap_state.queue.close();
    stop_worker(tap_state.mux_worker);
    // The worker muxes what was queued before it stops; anything left has no one to take it.
    tap_state.queue.discard();
}

}  // namespace ryvoobs

#pragma once

#include <obs.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/mpeg_ts_muxer.h"
#include "capture/mux_packet_queue.h"
#include "capture/tap_source.h"
#include "config/plugin_config.h"
#include "runtime/ryvo_runtime.h"

namespace ryvoobs {

// The plug-in's single packet tap: which OBS output it is attached to, the counters of the
// attachment and the delivery that runs behind it.
//
// `mutex` (the attachment lock) guards every plain field and is taken only by attach, detach,
// refresh and snapshots, never by the packet path or the workers; the packet path reads atomics
// and takes the queue's own lock. Lock order: `mutex` before the queue's lock.
struct PacketTapState {
    using Source = TapSource;

    struct Worker {
        std::jthread thread;
        bool running = false;
    };

    PacketTapState() = default;
    // At process exit: stops the workers if a detach has not already done so.
    ~PacketTapState();
    PacketTapState(const PacketTapState&) = delete;
    PacketTapState& operator=(const PacketTapState&) = delete;

    std::mutex mutex;
    MuxPacketQueue queue;
    // One reference owned by the state; null when detached.
    obs_output_t* output = nullptr;
    Source source = Source::none;
    CaptureMode capture_mode = CaptureMode::streaming;
    std::string output_kind = "streaming";
    std::atomic<std::uint64_t> packets{0};
    std::atomic<std::uint64_t> video_packets{0};
    std::atomic<std::uint64_t> audio_packets{0};
    std::string video_codec;
    std::string audio_codec;
    // A RuntimeMode value; tap_only when detached.
    std::atomic<std::uint32_t> runtime_mode{0};
    // Attachment generation, never 0 once attached and never reset.
    std::uint64_t token = 0;
    // `token` while packets are accepted, 0 otherwise.
    std::atomic<std::uint64_t> active_token{0};
    std::shared_ptr<RyvoRuntime> runtime;
    std::shared_ptr<MpegTsMuxer> muxer;
    Worker background_worker;
    Worker mux_worker;
};

PacketTapState& packet_tap_state();

// Counts, copies and queues one encoded packet of the attachment identified by `token`. Runs on
// OBS's encoder threads: never waits for anything but the queue's short lock.
void process_encoder_packet(const encoder_packet* packet, std::uint64_t token);

// Packets of the plug-in's own streaming output, accepted only while that output is attached.
void ingest_native_stream_packet(const obs_output_t* output, const encoder_packet* packet);

// Both expect the attachment lock held; neither restarts a running worker. They throw
// std::system_error when no thread can be started.
void start_mux_worker_locked();
void start_background_worker_locked();
void stop_background_worker_locked();
// Refuses further packets, forgets queued ones and joins the mux worker.
void stop_mux_worker_locked();

}  // namespace ryvoobs

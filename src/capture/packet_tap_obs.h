#pragma once

#include <obs.h>
#include <obs.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/frontend_output_target.h"
#include "capture/mpeg_ts_muxer.h"
#include "capture/mux_packet_queue.h"
#include "capture/tap_source.h"
#include "config/plugin_config.h"
#include "runtime/broadcast_delivery.h"
#include "runtime/finishing_deliveries.h"

namespace ryvoobs {

// The packet counters of the current (or last) attachment.
struct TapCounters {
    std::uint64_t packets = 0;
    std::uint64_t video_packets = 0;
    std::uint64_t audio_packets = 0;
    std::uint64_t mux_drops = 0;
};

// The plug-in's packet tap: which OBS output it is attached to, the counters of the attachment,
// the delivery that runs behind it and the deliveries of earlier broadcasts still finishing.
//
// Packets arrive on OBS's output and encoder threads and never wait for the attachment lock:
// they find their attachment through its token, an atomic, and take only the mux queue's short
// lock. Everything else (attach, detach, refresh, snapshots) goes through an Attachment, which
// holds the attachment lock for as long as it lives. Nothing done under that lock waits for the
// network or for a thread that may be inside a request: a stop hands the broadcast to its mux
// worker, which muxes what was queued, cuts the last segment and leaves the delivery to finish
// in the background.
class PacketTap {
  public:
    class Attachment;

    PacketTap() = default;
    // At process exit: stops the workers if a detach has not already done so.
    ~PacketTap();
    PacketTap(const PacketTap&) = delete;
    PacketTap& operator=(const PacketTap&) = delete;

    // Counts, holds and queues one encoded packet of the attachment identified by `token`: a
    // reference to OBS's packet is kept until the mux worker has written it, so the bytes are
    // never copied on OBS's thread. Only the track the muxer was built for is taken.
    void take_packet(encoder_packet* packet, std::uint64_t token);
    // Packets of the plug-in's own streaming output, taken only while that output is attached.
    void take_native_packet(const obs_output_t* output, encoder_packet* packet);

    Attachment attachment();
    TapCounters counters() const;
    // Packets waiting for the mux worker.
    std::size_t queued() const { return queue_.size(); }
    // The deliveries of stopped broadcasts that are still going on.
    FinishingDeliveries& finishing() { return finishing_; }
    // At module unload, after the last detach: the mux workers of stopped broadcasts hand over
    // their deliveries, which then get `grace` in total before their requests are cancelled.
    void shut_down(std::chrono::milliseconds grace);

  private:
    // When a mux worker has handed its delivery over, on the steady clock in nanoseconds; 0 while
    // it has not.
    using FinishedAt = std::shared_ptr<std::atomic<std::int64_t>>;

    // What a stop hands its mux worker: the packets still queued, and whether the broadcast ends
    // with the delivery or goes on in a delivery of its own (the tap moved to another output).
    struct MuxTail {
        std::vector<EncodedMediaPacket> packets;
        BroadcastEnd end = BroadcastEnd::post;
    };

    // A stopped attachment's mux worker, until it is joined.
    struct RetiredWorker {
        std::jthread thread;
        FinishedAt finished_at;
    };

    void run_mux_worker(std::uint64_t token, std::shared_ptr<BroadcastDelivery> delivery,
                        std::shared_ptr<MpegTsMuxer> muxer, std::future<MuxTail> tail,
                        FinishedAt finished_at);
    // Joins the retired workers that finished long enough ago to have left their thread, so that
    // the join cannot wait on a worker the scheduler has not run since (all of them with `all`).
    // Under mutex_.
    void reap_workers_locked(bool all);

    std::mutex mutex_;
    MuxPacketQueue queue_;

    // Under mutex_.
    OBSOutputAutoRelease output_;
    TapSource source_ = TapSource::none;
    CaptureMode capture_mode_ = CaptureMode::streaming;
    std::string output_kind_ = "streaming";
    std::string video_codec_;
    std::string audio_codec_;
    // Attachment generation, never 0 once attached and never reset.
    std::uint64_t token_ = 0;
    std::shared_ptr<BroadcastDelivery> delivery_;
    // The live attachment's mux worker and the promise of what the queue still holds at its stop.
    std::jthread mux_worker_;
    FinishedAt mux_worker_finished_at_;
    std::promise<MuxTail> mux_tail_;
    std::vector<RetiredWorker> retired_workers_;

    FinishingDeliveries finishing_;

    // Read by the packet path.
    std::atomic<std::uint64_t> packets_{0};
    std::atomic<std::uint64_t> video_packets_{0};
    std::atomic<std::uint64_t> audio_packets_{0};
    // A RuntimeMode value; tap_only when detached.
    std::atomic<std::uint32_t> runtime_mode_{0};
    // `token_` while packets are accepted, 0 otherwise.
    std::atomic<std::uint64_t> active_token_{0};
    // The attached output while it is the plug-in's own, whose packets come without a token.
    std::atomic<const obs_output_t*> native_output_{nullptr};
};

// The tap's attachment lock, held from construction to destruction, and what may be done with
// it: reading the attachment, recording a new one, starting the delivery behind it and ending it.
class PacketTap::Attachment {
  public:
    explicit Attachment(PacketTap& tap) : tap_(tap), lock_(tap.mutex_) {}

    bool attached() const { return tap_.output_.Get() != nullptr; }
    obs_output_t* output() const { return tap_.output_.Get(); }
    TapSource source() const { return tap_.source_; }
    AttachmentView view() const;
    const std::string& output_kind() const { return tap_.output_kind_; }
    CaptureMode capture_mode() const { return tap_.capture_mode_; }
    const std::string& video_codec() const { return tap_.video_codec_; }
    const std::string& audio_codec() const { return tap_.audio_codec_; }
    RuntimeMode runtime_mode() const;
    std::uint64_t token() const { return tap_.token_; }
    const std::shared_ptr<BroadcastDelivery>& delivery() const { return tap_.delivery_; }

    // Records an attachment to `output`, whose reference the tap takes over, with fresh counters
    // and a new token, which it returns. Packets are refused until accept().
    std::uint64_t begin(OBSOutputAutoRelease output, CaptureMode capture_mode,
                        std::string output_kind, TapSource source, std::string video_codec,
                        std::string audio_codec);
    // The started delivery behind the attachment, then the muxer with the mux worker feeding it
    // (std::system_error when no thread can be started).
    void set_delivery(std::shared_ptr<BroadcastDelivery> delivery);
    void start_muxing(std::shared_ptr<MpegTsMuxer> muxer);
    // From here packets of the attachment are counted and, in full mode, queued.
    void accept(RuntimeMode mode);

    // Refuses every further packet and hands the delivery over to finish in the background: the
    // mux worker muxes what was still queued first. Returns at once; the output stays recorded
    // until end(). `end` says whether the delivery posts the end of the broadcast once everything
    // is delivered.
    void finish_delivery(BroadcastEnd end);
    // Lets go of the output and resets the attachment.
    void end();

  private:
    PacketTap& tap_;
    std::unique_lock<std::mutex> lock_;
};

// The plug-in's one tap.
PacketTap& packet_tap();

}  // namespace ryvoobs

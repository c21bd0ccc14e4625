#include "media_feeder.h"

#include <chrono>
#include <thread>

namespace ryvoobs {
namespace {

constexpr std::chrono::milliseconds kBacklogCheckInterval{20};

// Waits while delivery is backlogged; no value once the feeding is to end.
std::optional<FeedOutcome> wait_out_backlog(const FeedControls& controls) {
    for (;;) {
        if (controls.stop.load()) {
            return FeedOutcome::interrupted;
        }
        if (controls.halted()) {
            return FeedOutcome::halted;
        }
        if (!controls.backlogged()) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kBacklogCheckInterval);
    }
}

}  // namespace

FeedResult feed_media(LoopedMediaSource& source, MpegTsMuxer& muxer, BroadcastDelivery& delivery,
                      LivePacer& pacer, const FeedControls& controls, FeedStats& stats) {
    for (;;) {
        if (std::optional<FeedOutcome> end = wait_out_backlog(controls)) {
            return FeedResult{*end, {}};
        }
        std::optional<TimedPacket> timed;
        try {
            timed = source.next();
        } catch (const MediaInputError& error) {
            return FeedResult{FeedOutcome::read_failed, error.what()};
        }
        if (!timed) {
            return FeedResult{FeedOutcome::completed, {}};
        }
        if (!pacer.wait_for(timed->packet.dts, controls.stop)) {
            return FeedResult{FeedOutcome::interrupted, {}};
        }
        if (std::optional<MuxedChunk> chunk = muxer.write_packet(timed->packet)) {
            delivery.push_encoded_bytes(chunk->bytes, chunk->duration_ms, chunk->keyframe);
            stats.bytes_muxed.fetch_add(chunk->bytes.size());
        }
        stats.media_end.store(source.end());
    }
}

}  // namespace ryvoobs

#include "media_feeder.h"

namespace ryvoobs {

FeedResult feed_media(LoopedMediaSource& source, MpegTsMuxer& muxer, RyvoRuntime& runtime,
                      LivePacer& pacer, const std::atomic<bool>& stop,
                      const std::function<bool()>& halted, FeedStats& stats) {
    for (;;) {
        if (halted()) {
            return FeedResult{FeedOutcome::halted, {}};
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
        if (!pacer.wait_for(timed->packet.dts, stop)) {
            return FeedResult{FeedOutcome::interrupted, {}};
        }
        if (std::optional<MuxedChunk> chunk = muxer.write_packet(timed->packet)) {
            runtime.push_encoded_bytes(chunk->bytes, chunk->duration_ms, chunk->keyframe);
            stats.bytes_muxed.fetch_add(chunk->bytes.size());
        }
        stats.media_end.store(source.end());
    }
}

}  // namespace ryvoobs

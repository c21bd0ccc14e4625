#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "capture/mpeg_ts_muxer.h"
#include "live_pacer.h"
#include "looped_media_source.h"
#include "runtime/broadcast_delivery.h"

namespace ryvoobs {

// Read by the progress display while the feeding runs.
struct FeedStats {
    std::atomic<std::uint64_t> bytes_muxed{0};
    // End of the media fed so far, on the media clock.
    std::atomic<std::int64_t> media_end{0};
};

enum class FeedOutcome {
    completed,    // every packet of every pass went in
    interrupted,  // `stop` was set
    halted,       // `halted` said that nothing more can be delivered
    read_failed,  // the file could not be read to its end
};

struct FeedResult {
    FeedOutcome outcome = FeedOutcome::completed;
    std::string error;
};

// When the feeding gives up or holds back; looked at before every packet.
struct FeedControls {
    const std::atomic<bool>& stop;
    // Nothing more can be delivered.
    std::function<bool()> halted;
    // Delivery lags so far behind that more packets now would only pile up in memory.
    std::function<bool()> backlogged;
};

// What the mux worker does in the plug-in: every packet through the muxer, every chunk into the
// delivery, here released by `pacer` and held back while delivery is backlogged.
FeedResult feed_media(LoopedMediaSource& source, MpegTsMuxer& muxer, BroadcastDelivery& delivery,
                      LivePacer& pacer, const FeedControls& controls, FeedStats& stats);

}  // namespace ryvoobs

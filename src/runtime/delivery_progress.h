#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/ram_segment_cache.h"
#include "runtime/status_tracker.h"

namespace ryvoobs {

enum class DeliveryPhase {
    live,       // started, being fed
    finishing,  // finish() was called; uploads, backfill and the end go on in the background
    finished,   // the server holds everything up to the last sequence and the end was posted
    gave_up,    // stopped before that: `undelivered` and `reason` say what and why
};

const char* to_string(DeliveryPhase phase);

// One consistent look at a delivery, for the dock, the status log and ryvo-send's progress.
struct DeliveryProgress {
    DeliveryPhase phase = DeliveryPhase::live;
    // The newest sequence cut so far; once finishing, the last of the broadcast. 0: none yet.
    std::int64_t last_sequence = 0;
    // Segments of this broadcast the server has not confirmed yet.
    std::uint64_t segments_left = 0;
    // Segments confirmed by the server after finish() was called.
    std::uint64_t delivered_after_stop = 0;
    bool end_posted = false;
    // Sequences that will never be delivered: those evicted before they could be uploaded and,
    // once the delivery gave up, every one still unconfirmed. Ascending.
    std::vector<std::int64_t> undelivered;
    // Why the delivery gave up; "" unless `phase` is gave_up.
    std::string reason;
    // Set once the service refused the key or does not know the stream: nothing more of this
    // broadcast can be delivered (the status's user text).
    std::string fatal_error;
    StatusSnapshot status;
    RamCacheSnapshot cache;

    bool done() const {
        return phase == DeliveryPhase::finished || phase == DeliveryPhase::gave_up;
    }
};

// "8-11, 14" for the log: consecutive sequences as ranges.
std::string format_sequences(const std::vector<std::int64_t>& sequences);

}  // namespace ryvoobs

#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "capture/encoded_media_packet.h"

namespace ryvoobs {

inline constexpr std::size_t kMuxQueueCapacity = 2048;

struct MuxPushOutcome {
    enum class Result { queued, refused, dropped };
    Result result = Result::refused;
    // For a dropped packet: the drop count including it and the queue depth that refused it.
    std::uint64_t drops = 0;
    std::size_t depth = 0;
};

// The packets waiting between OBS's encoder threads and the mux worker. It accepts packets only
// while it is open for one attachment's token, and it never blocks a producer: a full queue drops
// the new packet. Its lock is a leaf. There is one consumer; a producer pays for waking it only
// when it sleeps on an empty queue, so a busy worker costs the encoder thread nothing but the lock.
// The slots are allocated once, so that a push never allocates either. Packets the queue lets go
// of (refused, dropped, forgotten) release their payload outside its lock.
class MuxPacketQueue {
  public:
    MuxPacketQueue();

    // Accepts packets carrying `token` from now on; packets left from an earlier opening are
    // forgotten.
    void open(std::uint64_t token);
    // Refuses every packet from now on and hands back the ones still queued: they are the last
    // moments of the broadcast, which the attachment's worker muxes before it finishes. The
    // worker's wait ends, so that the queue can open for the next attachment at once.
    std::vector<EncodedMediaPacket> close();

    MuxPushOutcome push(std::uint64_t token, EncodedMediaPacket&& packet);
    // Waits for a packet of the opening for `token`; nothing once that opening is closed, or once
    // a stop is requested and the queue is empty. A close and a stop request wake the wait.
    std::optional<EncodedMediaPacket> wait_pop(std::uint64_t token, std::stop_token stop);

    std::uint64_t drops() const;
    void reset_drops();
    std::size_t size() const;

  private:
    EncodedMediaPacket take_front_locked();
    // Moves every queued packet out, so that their payloads are released after the lock.
    std::vector<EncodedMediaPacket> take_all_locked();

    mutable std::mutex mutex_;
    // A plain condition variable: the stop token's wake-up is registered only when the consumer
    // is about to sleep, not paid for by every push.
    std::condition_variable ready_;
    // A ring of kMuxQueueCapacity slots: `count_` packets from `head_` on.
    std::vector<EncodedMediaPacket> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    bool accepting_ = false;
    // Consumers asleep in wait_pop (a stopped attachment's worker may still be among them while
    // the next attachment's sleeps), and whether a push has already woken them all.
    std::uint32_t sleeping_consumers_ = 0;
    bool wake_pending_ = false;
    std::uint64_t token_ = 0;
    std::uint64_t drops_ = 0;
};

// Overflow is logged on the first drop and on every tenth, so that a stalled worker cannot flood
// the log from the encoder thread.
bool should_log_mux_drop(std::uint64_t drops);

}  // namespace ryvoobs

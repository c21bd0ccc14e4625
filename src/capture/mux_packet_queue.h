#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "capture/encoded_media_packet.h"

namespace ryvoobs {

// A power of two, so that a position maps to its slot with a mask.
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
// the new packet.
//
// A push takes no lock and makes no system call unless the worker sleeps on an empty queue: it
// claims a slot of a fixed ring by its position and publishes the packet through the slot's
// sequence number. One output's packets come one at a time (libobs hands them over under the
// output's interleaving lock), but from its audio and video threads in turn, and a packet of the
// output a tap just left may still be arriving while the next output's come in: so any number
// of producers may push at once. Every packet carries its opening's token, and the consumers
// (the worker, the close and the next opening, serialised by the consumer lock) let go of a
// packet that an earlier opening's late producer slipped in after its close. Packets the queue
// lets go of (refused, dropped, forgotten) release their payload outside that lock.
class MuxPacketQueue {
  public:
    MuxPacketQueue();
    MuxPacketQueue(const MuxPacketQueue&) = delete;
    MuxPacketQueue& operator=(const MuxPacketQueue&) = delete;

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
    struct Slot {
        // The position a producer may claim the slot at, plus one once its packet is published;
        // the consumer sets it a lap ahead when it takes the packet.
        std::atomic<std::uint64_t> sequence{0};
        std::uint64_t token = 0;
        EncodedMediaPacket packet;
    };

    // Takes the oldest published packet with the token it was pushed with; false when the
    // oldest slot holds none yet.
    bool pop_locked(EncodedMediaPacket& packet, std::uint64_t& token);
    bool has_published_locked() const;
    // The next packet of the opening for `token` while it is open; a late producer's packet of
    // an earlier opening found on the way is moved to `stale`, to be let go of after the lock.
    std::optional<EncodedMediaPacket> next_locked(std::uint64_t token, EncodedMediaPacket& stale);
    // Moves every published packet out, so that their payloads are released after the lock.
    void take_all_locked(std::uint64_t token, std::vector<EncodedMediaPacket>& of_token,
                         std::vector<EncodedMediaPacket>& others);
    void wake_consumers();

    const std::unique_ptr<Slot[]> slots_;

    // Read by every push; written by open and close under the consumer lock. 0 while closed.
    alignas(64) std::atomic<std::uint64_t> token_{0};
    // Consumers asleep in wait_pop (a stopped attachment's worker may still be among them while
    // the next attachment's sleeps), and whether a push has already woken them all.
    std::atomic<std::uint32_t> sleeping_consumers_{0};
    std::atomic<bool> wake_pending_{false};

    // The next position a producer claims.
    alignas(64) std::atomic<std::uint64_t> tail_{0};
    std::atomic<std::uint64_t> drops_{0};

    // The consumer side: the next position taken, written under the consumer lock.
    alignas(64) std::atomic<std::uint64_t> head_{0};
    mutable std::mutex mutex_;
    // A plain condition variable: the stop token's wake-up is registered only when the consumer
    // is about to sleep, not paid for by every push.
    std::condition_variable ready_;
};

// Overflow is logged on the first drop and on every tenth, so that a stalled worker cannot flood
// the log from the encoder thread.
bool should_log_mux_drop(std::uint64_t drops);

}  // namespace ryvoobs

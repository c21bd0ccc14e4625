#include "capture/mux_packet_queue.h"

#include <utility>

namespace ryvoobs {
namespace {

constexpr std::uint64_t kPositionMask = kMuxQueueCapacity - 1;
static_assert((kMuxQueueCapacity & kPositionMask) == 0, "the capacity is a power of two");

}  // namespace

MuxPacketQueue::MuxPacketQueue() : slots_(std::make_unique<Slot[]>(kMuxQueueCapacity)) {
    for (std::size_t i = 0; i < kMuxQueueCapacity; ++i) {
        slots_[i].sequence.store(i, std::memory_order_relaxed);
    }
}

void MuxPacketQueue::open(std::uint64_t token) {
    std::vector<EncodedMediaPacket> forgotten;
    std::lock_guard lock(mutex_);
    take_all_locked(0, forgotten, forgotten);
    token_.store(token, std::memory_order_release);
}

std::vector<EncodedMediaPacket> MuxPacketQueue::close() {
    std::vector<EncodedMediaPacket> stale;
    std::vector<EncodedMediaPacket> rest;
    {
        std::lock_guard lock(mutex_);
        const std::uint64_t token = token_.exchange(0, std::memory_order_acq_rel);
        take_all_locked(token, rest, stale);
    }
    ready_.notify_all();
    return rest;
}

MuxPushOutcome MuxPacketQueue::push(std::uint64_t token, EncodedMediaPacket&& packet) {
    MuxPushOutcome outcome;
    if (token == 0 || token_.load(std::memory_order_acquire) != token) {
        return outcome;
    }
    std::uint64_t position = tail_.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (;;) {
        slot = &slots_[position & kPositionMask];
        const std::uint64_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto lead = static_cast<std::int64_t>(sequence - position);
        if (lead == 0) {
            if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                break;
            }
        } else if (lead < 0) {
            // The slot still holds the packet of the previous lap: the ring is full.
            outcome.result = MuxPushOutcome::Result::dropped;
            outcome.drops = drops_.fetch_add(1, std::memory_order_relaxed) + 1;
            outcome.depth = kMuxQueueCapacity;
            return outcome;
        } else {
            position = tail_.load(std::memory_order_relaxed);
        }
    }
    slot->token = token;
    slot->packet = std::move(packet);
    // Sequentially consistent with the sleeper count: either this push sees a consumer that went
    // to sleep, or that consumer's last look at the ring sees this packet.
    slot->sequence.store(position + 1, std::memory_order_seq_cst);
    if (sleeping_consumers_.load(std::memory_order_seq_cst) != 0 &&
        !wake_pending_.exchange(true, std::memory_order_seq_cst)) {
        // Later pushes find the consumer already woken and skip the system call.
        wake_consumers();
    }
    outcome.result = MuxPushOutcome::Result::queued;
    return outcome;
}

void MuxPacketQueue::wake_consumers() {
    // A consumer deciding to sleep holds the lock from its last look at the ring until its wait
    // has begun, so the notification cannot fall in between.
    { std::lock_guard lock(mutex_); }
    ready_.notify_all();
}

std::optional<EncodedMediaPacket> MuxPacketQueue::wait_pop(std::uint64_t token,
                                                           std::stop_token stop) {
    // Declared before the lock, so that a late producer's packet is let go of after it.
    EncodedMediaPacket stale;
    {
        std::lock_guard lock(mutex_);
        std::optional<EncodedMediaPacket> packet = next_locked(token, stale);
        if (packet || token_.load(std::memory_order_relaxed) != token) {
            return packet;
        }
    }
    // Registered before the lock below is taken: a stop already requested runs it right here.
    const std::stop_callback wake_on_stop(stop, [this] { wake_consumers(); });
    std::unique_lock lock(mutex_);
    for (;;) {
        std::optional<EncodedMediaPacket> packet = next_locked(token, stale);
        if (packet || token_.load(std::memory_order_relaxed) != token || stop.stop_requested()) {
            return packet;
        }
        wake_pending_.store(false, std::memory_order_seq_cst);
        sleeping_consumers_.fetch_add(1, std::memory_order_seq_cst);
        // A packet published before the count went up is seen here; one after it wakes.
        if (!has_published_locked()) {
            ready_.wait(lock);
        }
        sleeping_consumers_.fetch_sub(1, std::memory_order_seq_cst);
    }
}

std::optional<EncodedMediaPacket> MuxPacketQueue::next_locked(std::uint64_t token,
                                                              EncodedMediaPacket& stale) {
    EncodedMediaPacket packet;
    std::uint64_t packet_token = 0;
    while (token_.load(std::memory_order_relaxed) == token && pop_locked(packet, packet_token)) {
        if (packet_token == token) {
            return packet;
        }
        stale = std::move(packet);
    }
    return std::nullopt;
}

bool MuxPacketQueue::has_published_locked() const {
    const std::uint64_t position = head_.load(std::memory_order_relaxed);
    return slots_[position & kPositionMask].sequence.load(std::memory_order_seq_cst) ==
           position + 1;
}

bool MuxPacketQueue::pop_locked(EncodedMediaPacket& packet, std::uint64_t& token) {
    const std::uint64_t position = head_.load(std::memory_order_relaxed);
    Slot& slot = slots_[position & kPositionMask];
    if (slot.sequence.load(std::memory_order_acquire) != position + 1) {
        return false;
    }
    packet = std::move(slot.packet);
    token = slot.token;
    slot.sequence.store(position + kMuxQueueCapacity, std::memory_order_release);
    head_.store(position + 1, std::memory_order_relaxed);
    return true;
}

void MuxPacketQueue::take_all_locked(std::uint64_t token, std::vector<EncodedMediaPacket>& of_token,
                                     std::vector<EncodedMediaPacket>& others) {
    EncodedMediaPacket packet;
    std::uint64_t packet_token = 0;
    while (pop_locked(packet, packet_token)) {
        (packet_token == token ? of_token : others).push_back(std::move(packet));
    }
}

std::uint64_t MuxPacketQueue::drops() const {
    return drops_.load(std::memory_order_relaxed);
}

void MuxPacketQueue::reset_drops() {
    drops_.store(0, std::memory_order_relaxed);
}

std::size_t MuxPacketQueue::size() const {
    // The head first: the tail read after it is at least as far on.
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return static_cast<std::size_t>(tail - head);
}

bool should_log_mux_drop(std::uint64_t drops) {
    return drops == 1 || drops % 10 == 0;
}

}  // namespace ryvoobs

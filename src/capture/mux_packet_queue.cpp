#include "capture/mux_packet_queue.h"

#include <utility>

namespace ryvoobs {

MuxPacketQueue::MuxPacketQueue() : slots_(kMuxQueueCapacity) {}

void MuxPacketQueue::open(std::uint64_t token) {
    std::vector<EncodedMediaPacket> forgotten;
    std::lock_guard lock(mutex_);
    accepting_ = true;
    token_ = token;
    forgotten = take_all_locked();
}

std::vector<EncodedMediaPacket> MuxPacketQueue::close() {
    std::vector<EncodedMediaPacket> rest;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        token_ = 0;
        rest = take_all_locked();
    }
    ready_.notify_all();
    return rest;
}

MuxPushOutcome MuxPacketQueue::push(std::uint64_t token, EncodedMediaPacket&& packet) {
    MuxPushOutcome outcome;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_ || token_ != token) {
            return outcome;
        }
        if (count_ == kMuxQueueCapacity) {
            outcome.result = MuxPushOutcome::Result::dropped;
            outcome.drops = ++drops_;
            outcome.depth = count_;
            return outcome;
        }
        slots_[(head_ + count_) % kMuxQueueCapacity] = std::move(packet);
        ++count_;
        outcome.result = MuxPushOutcome::Result::queued;
        // Later pushes find the consumer already woken and skip the system call.
        wake = sleeping_consumers_ > 0 && !std::exchange(wake_pending_, true);
    }
    if (wake) {
        ready_.notify_all();
    }
    return outcome;
}

std::optional<EncodedMediaPacket> MuxPacketQueue::wait_pop(std::uint64_t token,
                                                           std::stop_token stop) {
    {
        std::lock_guard lock(mutex_);
        if (token_ != token) {
            return std::nullopt;
        }
        if (count_ != 0) {
            return take_front_locked();
        }
    }
    // The stop request's flag is set before this runs; taking the lock means the consumer either
    // has not yet checked the flag or is already asleep, so the wake-up cannot fall between them.
    // Registered before the lock below is taken: a stop already requested runs it right here.
    const std::stop_callback wake_on_stop(stop, [this] {
        { std::lock_guard lock(mutex_); }
        ready_.notify_all();
    });
    std::unique_lock lock(mutex_);
    while (token_ == token && count_ == 0 && !stop.stop_requested()) {
        ++sleeping_consumers_;
        wake_pending_ = false;
        ready_.wait(lock);
        --sleeping_consumers_;
    }
    if (token_ != token || count_ == 0) {
        return std::nullopt;
    }
    return take_front_locked();
}

EncodedMediaPacket MuxPacketQueue::take_front_locked() {
    EncodedMediaPacket packet = std::move(slots_[head_]);
    head_ = (head_ + 1) % kMuxQueueCapacity;
    --count_;
    return packet;
}

std::vector<EncodedMediaPacket> MuxPacketQueue::take_all_locked() {
    std::vector<EncodedMediaPacket> taken;
    taken.reserve(count_);
    while (count_ != 0) {
        taken.push_back(take_front_locked());
    }
    return taken;
}

std::uint64_t MuxPacketQueue::drops() const {
    std::lock_guard lock(mutex_);
    return drops_;
}

void MuxPacketQueue::reset_drops() {
    std::lock_guard lock(mutex_);
    drops_ = 0;
}

std::size_t MuxPacketQueue::size() const {
    std::lock_guard lock(mutex_);
    return count_;
}

bool should_log_mux_drop(std::uint64_t drops) {
    return drops == 1 || drops % 10 == 0;
}

}  // namespace ryvoobs

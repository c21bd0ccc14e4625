#include "capture/mux_packet_queue.h"

#include <utility>

namespace ryvoobs {

void MuxPacketQueue::open(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    accepting_ = true;
    token_ = token;
    queue_.clear();
}

void MuxPacketQueue::close() {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    token_ = 0;
}

void MuxPacketQueue::discard() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

MuxPushOutcome MuxPacketQueue::push(std::uint64_t token, EncodedMediaPacket&& packet) {
    MuxPushOutcome outcome;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_ || token_ != token) {
            return outcome;
        }
        if (queue_.size() >= kMuxQueueCapacity) {
            outcome.result = MuxPushOutcome::Result::dropped;
            outcome.drops = ++drops_;
            outcome.depth = queue_.size();
            return outcome;
        }
        queue_.push_back(std::move(packet));
        outcome.result = MuxPushOutcome::Result::queued;
        // Later pushes find the consumer already woken and skip the system call.
        wake = std::exchange(consumer_sleeping_, false);
    }
    if (wake) {
        ready_.notify_one();
    }
    return outcome;
}

std::optional<EncodedMediaPacket> MuxPacketQueue::wait_pop(std::stop_token stop) {
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
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
    while (queue_.empty() && !stop.stop_requested()) {
        consumer_sleeping_ = true;
        ready_.wait(lock);
    }
    consumer_sleeping_ = false;
    if (queue_.empty()) {
        return std::nullopt;
    }
    return take_front_locked();
}

EncodedMediaPacket MuxPacketQueue::take_front_locked() {
    EncodedMediaPacket packet = std::move(queue_.front());
    queue_.pop_front();
    return packet;
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
    return queue_.size();
}

bool should_log_mux_drop(std::uint64_t drops) {
    return drops == 1 || drops % 10 == 0;
}

}  // namespace ryvoobs

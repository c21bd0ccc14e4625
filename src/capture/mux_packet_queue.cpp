#include "capture/mux_packet_queue.h"

#include <utility>

namespace ryvoobs {

void MuxPacketQueue::open(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    accepting_ = true;
    token_ = token;
}

void MuxPacketQueue::close() {
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        token_ = 0;
        queue_.clear();
    }
    cv_.notify_all();
}

MuxPushOutcome MuxPacketQueue::push(std::uint64_t token, EncodedMediaPacket&& packet) {
    MuxPushOutcome outcome;
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
    }
    cv_.notify_one();
    return outcome;
}

std::optional<EncodedMediaPacket> MuxPacketQueue::wait_pop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, stop, [this] { return !queue_.empty(); });
    if (queue_.empty()) {
        return std::nullopt;
    }
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

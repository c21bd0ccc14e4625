#include "decode_time_repair.h"

#include <utility>

namespace ryvoobs {
namespace {

// A container that never gives decode times would otherwise hold the whole file back.
constexpr std::size_t kMostHeld = 64;

}  // namespace

void DecodeTimeRepair::push(TimedPacket packet, bool dts_known) {
    const bool video = packet.packet.kind == MediaKind::video;
    if (undated_ == 0 && dts_known) {
        ready_.push_back(std::move(packet));
        return;
    }
    if (video && dts_known) {
        // Counts back from the first known decode time over the video packets held before it.
        std::int64_t dts = packet.packet.dts;
        for (auto held = held_.rbegin(); held != held_.rend(); ++held) {
            if (held->packet.kind == MediaKind::video) {
                dts -= held->duration;
                held->packet.dts = dts;
            }
        }
        undated_ = 0;
        held_.push_back(std::move(packet));
        release_held();
        return;
    }
    if (!dts_known) {
        ++undated_;
    }
    held_.push_back(std::move(packet));
    if (held_.size() >= kMostHeld) {
        finish();
    }
}

void DecodeTimeRepair::finish() {
    // Held packets carry their presentation time as decode time until repaired.
    undated_ = 0;
    release_held();
}

void DecodeTimeRepair::release_held() {
    while (!held_.empty()) {
        ready_.push_back(std::move(held_.front()));
        held_.pop_front();
    }
}

std::optional<TimedPacket> DecodeTimeRepair::pop() {
    if (ready_.empty()) {
        return std::nullopt;
    }
    TimedPacket packet = std::move(ready_.front());
    ready_.pop_front();
    return packet;
}

}  // namespace ryvoobs

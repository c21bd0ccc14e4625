#include "looped_media_source.h"

#include <algorithm>
#include <utility>

namespace ryvoobs {
namespace {

// Files are stored close to decode order, but B-frames put the first video decode time before
// the first audio time and the demuxer may hand the streams over slightly out of step: the
// earliest decode time among the first packets is taken as the start of the pass.
constexpr std::size_t kLookaheadPackets = 256;
constexpr std::int64_t kLookaheadSpan = kMediaClockRate;

}  // namespace

LoopedMediaSource::LoopedMediaSource(std::string path, std::int32_t passes)
    : path_(std::move(path)), passes_(std::max(passes, 1)) {
    reader_ = std::make_unique<MediaFileReader>(path_);
    start_pass();
}

void LoopedMediaSource::start_pass() {
    lookahead_.clear();
    while (lookahead_.size() < kLookaheadPackets) {
        std::optional<TimedPacket> timed = reader_->next();
        if (!timed) {
            break;
        }
        const std::int64_t dts = timed->packet.dts;
        lookahead_.push_back(std::move(*timed));
        if (dts - lookahead_.front().packet.dts >= kLookaheadSpan) {
            break;
        }
    }
    pass_origin_ = 0;
    if (!lookahead_.empty()) {
        pass_origin_ = std::min_element(lookahead_.begin(), lookahead_.end(),
                                        [](const TimedPacket& a, const TimedPacket& b) {
                                            return a.packet.dts < b.packet.dts;
                                        })
                           ->packet.dts;
    }
    video_start_.reset();
    video_end_ = 0;
}

std::optional<TimedPacket> LoopedMediaSource::take_from_pass() {
    if (!lookahead_.empty()) {
        TimedPacket timed = std::move(lookahead_.front());
        lookahead_.pop_front();
        return timed;
    }
    return reader_->next();
}

std::optional<TimedPacket> LoopedMediaSource::next() {
    for (;;) {
        std::optional<TimedPacket> timed = take_from_pass();
        if (!timed) {
            if (pass_ + 1 >= passes_ || !video_start_) {
                return std::nullopt;
            }
            ++pass_;
            pass_offset_ += video_end_ - *video_start_;
            reader_ = std::make_unique<MediaFileReader>(path_);
            start_pass();
            continue;
        }
        EncodedMediaPacket& packet = timed->packet;
        if (packet.kind == MediaKind::video) {
            video_start_ = std::min(video_start_.value_or(packet.dts), packet.dts);
            video_end_ = std::max(video_end_, packet.dts + timed->duration);
        }
        const std::int64_t shift = pass_offset_ - pass_origin_;
        packet.pts += shift;
        packet.dts += shift;
        std::optional<std::int64_t>& last_dts =
            packet.kind == MediaKind::video ? last_video_dts_ : last_audio_dts_;
        if (last_dts && packet.dts <= *last_dts) {
            continue;
        }
        last_dts = packet.dts;
        end_ = std::max(end_, packet.dts + timed->duration);
        return timed;
    }
}

}  // namespace ryvoobs

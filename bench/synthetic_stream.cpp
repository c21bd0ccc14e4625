#include "synthetic_stream.h"

#include <numeric>
#include <stdexcept>

namespace ryvoobs::bench {
namespace {

constexpr int kFramesPerSecond = 30;
constexpr int kGopFrames = 60;
constexpr int kKeyframeWeight = 8;
// AAC frames of 1024 samples at 48 kHz, 128 kbit/s, each carried in two transport packets.
constexpr std::size_t kAudioChunkSize = 376;
constexpr double kAudioPacketMs = 1024.0 * 1000.0 / 48000.0;

std::uint64_t next_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

std::int32_t frame_duration_ms(int frame) {
    // 33 or 34 ms, so that 60 frames make exactly 2000 ms.
    return (frame + 1) * 1000 / kFramesPerSecond - frame * 1000 / kFramesPerSecond;
}

}  // namespace

SyntheticStream::SyntheticStream(std::int64_t bitrate_bps)
    : gop_size_(static_cast<std::size_t>(bitrate_bps / 8 * kGopMs / 1000)) {
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    const int audio_packets = static_cast<int>(kGopMs / kAudioPacketMs);
    const std::size_t audio_bytes = static_cast<std::size_t>(audio_packets) * kAudioChunkSize;
    if (gop_size_ <= audio_bytes + kGopFrames * kKeyframeWeight) {
        throw std::invalid_argument("bitrate too low for the synthetic stream");
    }
    const std::size_t video_bytes = gop_size_ - audio_bytes;
    const std::size_t unit = video_bytes / (kKeyframeWeight + kGopFrames - 1);

    std::vector<std::size_t> frame_sizes(kGopFrames);
    for (int frame = 1; frame < kGopFrames; ++frame) {
        const std::size_t swing = unit / 5;
        frame_sizes[static_cast<std::size_t>(frame)] =
            unit - swing + static_cast<std::size_t>(next_random(state) % (2 * swing + 1));
    }
    const std::size_t other_frames =
        std::accumulate(frame_sizes.begin() + 1, frame_sizes.end(), std::size_t{0});
    frame_sizes[0] = video_bytes - other_frames;

    int audio_sent = 0;
    for (int frame = 0; frame < kGopFrames; ++frame) {
        layout_.push_back(
            {frame_sizes[static_cast<std::size_t>(frame)], frame_duration_ms(frame), frame == 0});
        const double frame_end_ms = (frame + 1) * 1000.0 / kFramesPerSecond;
        while (audio_sent < audio_packets && audio_sent * kAudioPacketMs < frame_end_ms) {
            layout_.push_back({kAudioChunkSize, 0, false});
            ++audio_sent;
        }
    }

    pool_.resize(gop_size_ * 3);
    for (std::size_t i = 0; i + 8 <= pool_.size(); i += 8) {
        std::uint64_t word = next_random(state);
        for (std::size_t byte = 0; byte < 8; ++byte, word >>= 8) {
            pool_[i + byte] = static_cast<std::uint8_t>(word);
        }
    }
}

std::span<const std::uint8_t> SyntheticStream::gop_bytes(std::int64_t gop) const {
    // A stride that is no divisor of the spare room walks through every starting point.
    const std::size_t spare = pool_.size() - gop_size_;
    const std::size_t start = static_cast<std::size_t>(gop) * 104729 % spare;
    return std::span<const std::uint8_t>(pool_).subspan(start, gop_size_);
}

}  // namespace ryvoobs::bench

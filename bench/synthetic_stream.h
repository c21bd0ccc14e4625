#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryvoobs::bench {

// One muxed chunk of the stream, as the mux worker hands it on.
struct ChunkLayout {
    std::size_t size = 0;
    std::int32_t duration_ms = 0;  // video time since the previous video chunk; 0 for audio
    bool keyframe = false;
};

// A muxed live stream stand-in: 30 fps video with a keyframe every 60th frame (2 s GOPs, the
// keyframe eight times the size of a typical other frame, the others varying by up to a fifth)
// interleaved with 128 kbit/s of audio packets, adding up to exactly `bitrate_bps` per GOP.
// The bytes are pseudo-random, so they neither compress nor hash in any special way, and every
// GOP starts at another place in a pool of a few GOPs' worth, so no two segments are equal.
class SyntheticStream {
  public:
    explicit SyntheticStream(std::int64_t bitrate_bps);

    // The chunks of every GOP, in stream order; their sizes add up to gop_size().
    const std::vector<ChunkLayout>& gop_layout() const { return layout_; }
    std::size_t gop_size() const { return gop_size_; }
    static constexpr std::int32_t kGopMs = 2000;

    // The bytes of GOP number `gop`: the chunks of gop_layout() one after another.
    std::span<const std::uint8_t> gop_bytes(std::int64_t gop) const;

  private:
    std::size_t gop_size_;
    std::vector<ChunkLayout> layout_;
    std::vector<std::uint8_t> pool_;
};

}  // namespace ryvoobs::bench

#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "media_file_reader.h"

namespace ryvoobs {

// Plays a media file a number of times as one stream whose timestamps start at 0 and run on
// without a jump: every pass is shifted by the length of the file's video, so that the video
// frames follow each other at their own rate across the seam. Audio that outlasts the video
// would overlap the next pass; the overlapping packets of the next pass are left out.
class LoopedMediaSource {
  public:
    // Opens the first pass; throws MediaInputError like MediaFileReader.
    LoopedMediaSource(std::string path, std::int32_t passes);

    const CodecConfig& video() const { return reader_->video(); }
    const std::optional<CodecConfig>& audio() const { return reader_->audio(); }

    // The next packet on the continuous timeline; no value after the last pass.
    std::optional<TimedPacket> next();

    // Where the packets handed out so far end, on the media clock.
    std::int64_t end() const { return end_; }

  private:
    void start_pass();
    std::optional<TimedPacket> take_from_pass();

    const std::string path_;
    const std::int32_t passes_;
    std::int32_t pass_ = 0;
    std::unique_ptr<MediaFileReader> reader_;
    // Packets read ahead to find where the pass starts.
    std::deque<TimedPacket> lookahead_;
    std::int64_t pass_origin_ = 0;
    std::int64_t pass_offset_ = 0;
    // The video of the current pass, as the file times it.
    std::optional<std::int64_t> video_start_;
    std::int64_t video_end_ = 0;
    // Last decode time handed out per stream, to keep each stream rising.
    std::optional<std::int64_t> last_video_dts_;
    std::optional<std::int64_t> last_audio_dts_;
    std::int64_t end_ = 0;
};

}  // namespace ryvoobs

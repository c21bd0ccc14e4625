#pragma once

#include <deque>
#include <optional>

#include "media_file_reader.h"

namespace ryvoobs {

// Matroska stores presentation times only; the demuxer derives decode times once it knows how
// deep the encoder reorders, so the first frames of a stream with B-frames come without one.
// Such video packets (and everything after them, to keep the file order) are held back until a
// decode time turns up, and their decode times are then counted back from it one frame duration
// per packet, which is what the encoder gave them.
class DecodeTimeRepair {
  public:
    void push(TimedPacket packet, bool dts_known);
    // The input has ended: whatever still waits gets its presentation time as decode time.
    void finish();
    std::optional<TimedPacket> pop();

  private:
    void release_held();

    std::deque<TimedPacket> ready_;
    std::deque<TimedPacket> held_;
    // How many of the held packets lack a decode time; they are all video.
    std::size_t undated_ = 0;
};

}  // namespace ryvoobs

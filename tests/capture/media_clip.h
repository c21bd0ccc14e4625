#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "capture/codec_config.h"
#include "capture/encoded_media_packet.h"
#include "capture/mpeg_ts_muxer.h"

namespace ryvoobs::testing {

// A private directory that is removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path file(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exit_code = -1;
    std::string output;  // stdout and stderr together
};

CommandResult run_command(const std::string& command);

// A clip demuxed into what the encoder side hands over: Annex-B video, raw AAC frames with their
// AudioSpecificConfig, timestamps in units of 1/timebase_den, in file order.
struct DemuxedClip {
    CodecConfig video;
    std::optional<CodecConfig> audio;
    std::vector<EncodedMediaPacket> packets;
};

// Fails the calling test (and returns an empty clip) when the file cannot be read.
DemuxedClip demux_clip(const std::filesystem::path& path);

std::vector<MuxedChunk> mux_all(MpegTsMuxer& muxer, const std::vector<EncodedMediaPacket>& packets);

void write_chunks(const std::filesystem::path& path, const std::vector<MuxedChunk>& chunks);

}  // namespace ryvoobs::testing

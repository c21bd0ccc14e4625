// The tap's configuration file at the default path of an isolated home, and libobs's packets.
#pragma once

#include <obs.h>
#include <util/bmem.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/config_file.h"
#include "config/plugin_config.h"

namespace ryvoobs::testing {

inline PluginConfig linked_config(RuntimeMode runtime_mode, CaptureMode capture_mode,
                                  const std::string& endpoint = "http://127.0.0.1:9") {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.api_endpoint = endpoint;
    config.runtime_mode = runtime_mode;
    config.capture_mode = capture_mode;
    config.segment_duration_ms = 1000;
    config.ram_buffer_minutes = 1;
    return config;
}

inline void write_config(const PluginConfig& config) {
    std::string error;
    ASSERT_TRUE(save_config_file(default_config_path(), config, &error)) << error;
}

// Its reference count, a long, right in front of the bytes, as libobs keeps it; the test's own
// reference is given back on destruction.
class ObsPacket {
  public:
    ObsPacket(obs_encoder_type type, std::size_t size, std::int64_t pts, bool keyframe = false,
              std::size_t track = 0) {
        auto* count = static_cast<long*>(bmalloc(size + sizeof(long)));
        *count = 1;
        packet_.data = reinterpret_cast<std::uint8_t*>(count + 1);
        packet_.size = size;
        std::memset(packet_.data, 0x42, size);
        // H.264 access unit delimiter: the one thing FFmpeg's muxer checks in a video payload.
        static constexpr std::uint8_t kDelimiter[] = {0, 0, 0, 1, 0x09, 0xF0};
        if (type == OBS_ENCODER_VIDEO && size >= sizeof kDelimiter) {
            std::memcpy(packet_.data, kDelimiter, sizeof kDelimiter);
        }
        packet_.type = type;
        packet_.keyframe = keyframe;
        packet_.pts = pts;
        packet_.dts = pts;
        packet_.timebase_num = 1;
        packet_.timebase_den = 1000;
        packet_.track_idx = track;
    }
    ~ObsPacket() { obs_encoder_packet_release(&packet_); }
    ObsPacket(const ObsPacket&) = delete;
    ObsPacket& operator=(const ObsPacket&) = delete;

    encoder_packet* get() { return &packet_; }
    // The references held now, the test's own included.
    long references() const {
        return __atomic_load_n(reinterpret_cast<const long*>(packet_.data) - 1, __ATOMIC_ACQUIRE);
    }

  private:
    encoder_packet packet_{};
};

}  // namespace ryvoobs::testing

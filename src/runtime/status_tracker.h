#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/segment_data.h"

namespace ryvoobs {

// One consistent copy of everything the tracker records.
struct StatusSnapshot {
    bool streaming = false;
    bool connected = false;
    bool auth_failed = false;
    std::optional<WallClockTime> started_at;
    std::int64_t current_sequence = 0;
    std::uint64_t cache_bytes = 0;
    std::uint64_t cache_segments = 0;
    std::uint64_t upload_queue_depth = 0;
    std::optional<WallClockTime> last_segment_at;
    std::optional<WallClockTime> last_upload_at;
    std::string last_error;
};

// How one delivery session is doing, shared between the threads that feed, upload and display it.
// Its mutex is a leaf: no operation calls out while holding it, and the writers cannot fail, so the
// upload worker may report from any point of a job without guarding the call.
class StatusTracker {
  public:
    void set_streaming(bool on) noexcept;
    void set_connected(bool connected) noexcept;
    void note_segment(std::int64_t sequence, std::uint64_t cache_bytes,
                      std::uint64_t cache_segments) noexcept;
    void note_upload(std::uint64_t queue_depth) noexcept;
    void set_queue_depth(std::uint64_t queue_depth) noexcept;
    void set_error(std::string message) noexcept;
    void clear_error() noexcept;
    void set_auth_failed(bool failed) noexcept;

    StatusSnapshot snapshot() const;

  private:
    mutable std::mutex mutex_;
    StatusSnapshot state_;
};

}  // namespace ryvoobs

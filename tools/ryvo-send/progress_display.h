#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ryvoobs {

// What the progress line shows.
struct ProgressFigures {
    std::uint64_t segments = 0;
    std::uint64_t uploaded = 0;
    std::uint64_t queue_depth = 0;
    std::uint64_t cache_bytes = 0;
    std::uint64_t cache_max_bytes = 0;
    // Transport-stream bytes produced, and the media time they cover.
    std::uint64_t bytes_muxed = 0;
    double media_seconds = 0.0;
    std::string last_error;
    // What the session's own status says; the error is the session's alone, without the side
    // traffic's, so that it clears once uploads succeed again.
    bool connected = false;
    std::string status_error;
    // After the end of the input: the delivery finishes what is left in the background.
    bool finishing = false;
    std::uint64_t segments_left = 0;
};

struct SendSummary {
    std::uint64_t segments = 0;
    std::uint64_t uploaded = 0;
    std::uint64_t bytes_muxed = 0;
    double media_seconds = 0.0;
    double wall_seconds = 0.0;
    std::string last_error;
};

std::string format_progress(const ProgressFigures& figures);
std::string format_summary(const SendSummary& summary);
// One JSON object on one line.
std::string format_status_json(const ProgressFigures& figures);

enum class ProgressStyle {
    terminal,  // one line rewritten in place
    lines,     // a plain line each time
    json,      // a status line for programs each time
    silent,
};

// Writes progress lines to a stream (standard error). Not thread-safe: one thread shows.
class ProgressDisplay {
  public:
    ProgressDisplay(ProgressStyle style, std::FILE* out) : style_(style), out_(out) {}

    ProgressStyle style() const { return style_; }
    void show(const ProgressFigures& figures);
    // Ends a line left open in place, so that what follows starts on a line of its own.
    void finish();
    void print_summary(const SendSummary& summary);

  private:
    const ProgressStyle style_;
    std::FILE* const out_;
    bool line_open_ = false;
};

}  // namespace ryvoobs

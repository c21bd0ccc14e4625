#include "progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstdarg>

namespace ryvoobs {
namespace {

__attribute__((format(printf, 1, 2))) std::string printf_string(const char* format, ...) {
    std::array<char, 256> buffer{};
    std::va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
    va_end(arguments);
    return length < 0 ? std::string() : std::string(buffer.data());
}

std::string megabytes(std::uint64_t bytes) {
    return printf_string("%.1f MB", static_cast<double>(bytes) / 1e6);
}

std::string bitrate(std::uint64_t bytes, double seconds) {
    if (seconds <= 0.0) {
        return "-";
    }
    const double bits_per_second = static_cast<double>(bytes) * 8.0 / seconds;
    if (bits_per_second >= 1e6) {
        return printf_string("%.2f Mbit/s", bits_per_second / 1e6);
    }
    return printf_string("%.0f kbit/s", bits_per_second / 1e3);
}

// Columns of the terminal behind `out`, 0 when unknown.
std::size_t terminal_width(std::FILE* out) {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

// A JSON string literal; control characters are escaped so that the object stays on one line.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += printf_string("\\u%04x", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string format_progress(const ProgressFigures& figures) {
    std::string line;
    if (figures.finishing) {
        line = printf_string("finishing, %" PRIu64 " to deliver: ", figures.segments_left);
    }
    line += printf_string("segments %" PRIu64 ", uploaded %" PRIu64 ", queue %" PRIu64,
                          figures.segments, figures.uploaded, figures.queue_depth);
    line += ", cache " + megabytes(figures.cache_bytes);
    if (figures.cache_max_bytes > 0) {
        line += printf_string(" (%.0f%%)", 100.0 * static_cast<double>(figures.cache_bytes) /
                                               static_cast<double>(figures.cache_max_bytes));
    }
    line += ", " + bitrate(figures.bytes_muxed, figures.media_seconds);
    line += printf_string(", media %.1f s", figures.media_seconds);
    line += ", last error: " + (figures.last_error.empty() ? "none" : figures.last_error);
    return line;
}

std::string format_summary(const SendSummary& summary) {
    std::string text = printf_string("sent %" PRIu64 " segment%s (", summary.segments,
                                     summary.segments == 1 ? "" : "s");
    text += megabytes(summary.bytes_muxed);
    text += printf_string(", %.1f s of media) in %.1f s; uploaded %" PRIu64 " of %" PRIu64,
                          summary.media_seconds, summary.wall_seconds, summary.uploaded,
                          summary.segments);
    text += "; last error: " + (summary.last_error.empty() ? "none" : summary.last_error);
    return text;
}

std::string format_status_json(const ProgressFigures& figures) {
    // Two pieces: the formatting buffer holds 256 characters, and all the figures at their
    // widest would not fit in one.
    std::string text =
        printf_string("{\"segments\":%" PRIu64 ",\"uploaded\":%" PRIu64 ",\"queue\":%" PRIu64
                      ",\"cache_bytes\":%" PRIu64,
                      figures.segments, figures.uploaded, figures.queue_depth, figures.cache_bytes);
    text += printf_string(",\"cache_max_bytes\":%" PRIu64 ",\"bytes_muxed\":%" PRIu64
                          ",\"media_seconds\":%.3f,\"connected\":%s,\"last_error\":",
                          figures.cache_max_bytes, figures.bytes_muxed, figures.media_seconds,
                          figures.connected ? "true" : "false");
    return text + json_string(figures.status_error) + "}";
}

void ProgressDisplay::show(const ProgressFigures& figures) {
    if (style_ == ProgressStyle::silent) {
        return;
    }
    if (style_ == ProgressStyle::json) {
        std::fprintf(out_, "ryvo-send status: %s\n", format_status_json(figures).c_str());
        std::fflush(out_);
        return;
    }
    std::string line = format_progress(figures);
    if (style_ == ProgressStyle::lines) {
        std::fprintf(out_, "ryvo-send: %s\n", line.c_str());
        std::fflush(out_);
        return;
    }
    // A line that wraps could no longer be rewritten in place.
    if (const std::size_t width = terminal_width(out_); width > 1 && line.size() >= width) {
        line.resize(width - 1);
    }
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    std::fflush(out_);
    line_open_ = true;
}

void ProgressDisplay::finish() {
    if (line_open_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        line_open_ = false;
    }
}

void ProgressDisplay::print_summary(const SendSummary& summary) {
    finish();
    if (style_ == ProgressStyle::silent) {
        return;
    }
    std::fprintf(out_, "ryvo-send: %s\n", format_summary(summary).c_str());
    std::fflush(out_);
}

}  // namespace ryvoobs

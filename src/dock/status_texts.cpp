#include "dock/status_texts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

namespace ryvoobs {
namespace {

bool is_manual(const RyvoPluginStatusSnapshot& s) {
    return s.auth_mode == static_cast<std::int32_t>(AuthMode::manual);
}

bool is_ryvo_only_capture(const RyvoPluginStatusSnapshot& s) {
    return s.output_label == "recording" && s.capture_mode == CaptureMode::recording;
}

bool has_traffic(const RyvoPluginStatusSnapshot& s) {
    return s.cache_status.total_bytes != 0 || s.packets != 0;
}

std::string two_digits(long long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02lld", value);
    return buffer;
}

}  // namespace

std::string health_text(const RyvoPluginStatusSnapshot& s) {
    if (!s.config_error.empty()) {
        return "Settings error";
    }
    if (!s.enabled) {
        return s.active_service_is_ryvo ? "Action needed" : "Disabled";
    }
    if (s.runtime_status.auth_failed) {
        return "Auth failed";
    }
    if (s.finishing_deliveries != 0) {
        return "Finishing: " + std::to_string(s.finishing_segments) +
               (s.finishing_segments == 1 ? " segment" : " segments") + " to deliver";
    }
    if (s.has_pending_portal_link) {
        return "Pending";
    }
    if (s.has_runtime_credentials) {
        return is_manual(s) ? "Configured" : "Linked";
    }
    return "Unlinked";
}

std::string link_status_detail(const RyvoPluginStatusSnapshot& s) {
    if (!s.config_error.empty()) {
        return "Settings could not be read";
    }
    if (!s.enabled) {
        return s.active_service_is_ryvo ? "Select a regular OBS streaming service" : "Ryvo off";
    }
    if (s.runtime_status.auth_failed) {
        return "API key rejected \u2014 rotate in the Ryvo dashboard";
    }
    if (s.has_pending_portal_link) {
        return "Awaiting portal approval";
    }
    if (!s.attached && !s.runtime_status.streaming) {
        if (!s.has_runtime_credentials) {
            return "Needs setup";
        }
        return is_manual(s) ? "Legacy auth" : "Portal-linked";
    }
    if (!s.runtime_status.connected && !s.runtime_status.last_upload_at) {
        return has_traffic(s) ? "Preparing upload" : "Starting session";
    }
    return "Streaming";
}

std::string output_status_text(const RyvoPluginStatusSnapshot& s) {
    if (!s.enabled) {
        return s.active_service_is_ryvo ? "Restore destination" : "Off";
    }
    if (s.attached) {
        if (s.output_label == "ryvo_stream") {
            return "Ryvo Stream";
        }
        return is_ryvo_only_capture(s) ? "Ryvo-only" : s.output_label;
    }
    return "Idle";
}

std::string attached_output_text(const RyvoPluginStatusSnapshot& s) {
    if (s.attached) {
        if (s.output_label == "ryvo_stream") {
            return "Ryvo Stream output (yes)";
        }
        return is_ryvo_only_capture(s) ? "Ryvo-only capture (yes)" : s.output_label + " (yes)";
    }
    if (!s.enabled && s.active_service_is_ryvo) {
        return "no capture; Ryvo service still selected";
    }
    return "none (no)";
}

std::string linked_account_text(const RyvoPluginStatusSnapshot& s) {
    const std::string name = trim_copy_ui(s.linked_account_name);
    const std::string email = trim_copy_ui(s.linked_account_email);
    if (!name.empty() && !email.empty()) {
        return name + " <" + email + ">";
    }
    if (!email.empty()) {
        return email;
    }
    if (!name.empty()) {
        return name;
    }
    if (is_manual(s)) {
        return "legacy manual auth";
    }
    return s.has_runtime_credentials ? "portal-linked" : "not linked";
}

std::string target_stream_text(const RyvoPluginStatusSnapshot& s) {
    const std::string name = trim_copy_ui(s.selected_stream_name);
    const std::string id = trim_copy_ui(s.stream_id);
    if (!name.empty() && !id.empty()) {
        return name + " (" + id + ")";
    }
    if (!name.empty()) {
        return name;
    }
    return id.empty() ? "none" : id;
}

std::string format_runtime(const std::optional<WallClockTime>& started_at, WallClockTime now) {
    if (!started_at) {
        return "Offline";
    }
    // A start stamped ahead of this clock (an adjusted system clock) reads as just started rather
    // than as a negative duration.
    const long long elapsed = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::seconds>(now - *started_at).count());
    const std::string minutes_seconds =
        two_digits((elapsed % 3600) / 60) + ":" + two_digits(elapsed % 60);
    if (elapsed >= 3600) {
        return two_digits(elapsed / 3600) + ":" + minutes_seconds;
    }
    return minutes_seconds;
}

std::string format_runtime(const std::optional<WallClockTime>& started_at) {
    return format_runtime(started_at, wall_clock_now());
}

std::string format_age(const std::optional<WallClockTime>& at, WallClockTime now) {
    if (!at) {
        return "never";
    }
    const auto elapsed = now - *at;
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    if (elapsed < std::chrono::seconds(60)) {
        return std::to_string(seconds) + "s ago";
    }
    if (seconds >= 3600) {
        return std::to_string(seconds / 3600) + "h ago";
    }
    return std::to_string(seconds / 60) + "m ago";
}

std::string format_age(const std::optional<WallClockTime>& at) {
    return format_age(at, wall_clock_now());
}

std::string format_megabytes(std::uint64_t bytes) {
    // Not printf: OBS runs with the user's numeric locale, which may write "12,5".
    char buffer[64];
    const auto [end, failed] =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(bytes) / 1048576.0,
                      std::chars_format::fixed, 1);
    return std::string(buffer, end) + " MB";
}

std::string trim_copy_ui(std::string text) {
    // The C locale's white space, whatever locale OBS runs in.
    const auto is_space = [](char c) {
        return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
    };
    const auto first = std::find_if_not(text.begin(), text.end(), is_space);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), is_space).base();
    if (first >= last) {
        return {};
    }
    return std::string(first, last);
}

int cache_percent(std::uint64_t total_bytes, std::uint64_t max_bytes) {
    if (max_bytes == 0) {
        return 0;
    }
    const double percent =
        static_cast<double>(total_bytes) / static_cast<double>(max_bytes) * 100.0;
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

}  // namespace ryvoobs

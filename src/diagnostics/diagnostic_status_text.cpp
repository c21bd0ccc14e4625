#include "diagnostics/diagnostic_status_text.h"

#include <string_view>

#include "dock/status_texts.h"

namespace ryvoobs {
namespace {

std::string yes_no(bool value) {
    return value ? "yes" : "no";
}

std::string or_none(const std::string& value) {
    return value.empty() ? "(none)" : value;
}

std::string runtime_mode_name(std::uint32_t mode) {
    switch (mode) {
        case static_cast<std::uint32_t>(RuntimeMode::full):
            return "full";
        case static_cast<std::uint32_t>(RuntimeMode::runtime_only):
            return "runtime_only";
        default:
            return "tap_only";
    }
}

std::string capture_mode_name(CaptureMode mode) {
    switch (mode) {
        case CaptureMode::either:
            return "either";
        case CaptureMode::recording:
            return "recording";
        default:
            return "streaming";
    }
}

void add(std::string& text, std::string_view label, const std::string& value) {
    text += label;
    text += value;
    text += '\n';
}

}  // namespace

std::string diagnostic_status_text(const RyvoPluginStatusSnapshot& s, WallClockTime now) {
    const StatusSnapshot& runtime = s.runtime_status;
    const RamCacheSnapshot& cache = s.cache_status;
    std::string text;
    add(text, "enabled: ", yes_no(s.enabled));
    add(text, "auth_mode: ",
        s.auth_mode == static_cast<std::int32_t>(AuthMode::portal) ? "portal" : "manual");
    add(text, "runtime_mode: ", runtime_mode_name(s.runtime_mode));
    add(text, "capture_mode: ", capture_mode_name(s.capture_mode));
    add(text, "hook_installed: ", yes_no(s.hook_installed));
    add(text, "attached: ", yes_no(s.attached));
    add(text, "active_service_is_ryvo: ", yes_no(s.active_service_is_ryvo));
    add(text, "has_runtime_credentials: ", yes_no(s.has_runtime_credentials));
    add(text, "has_pending_portal_link: ", yes_no(s.has_pending_portal_link));
    add(text, "output_label: ", s.output_label);
    add(text, "video_codec: ", or_none(s.video_codec));
    add(text, "audio_codec: ", or_none(s.audio_codec));
    add(text, "stream_id: ", or_none(s.stream_id));
    add(text, "selected_stream_name: ", or_none(s.selected_stream_name));
    add(text, "linked_account_email: ", or_none(s.linked_account_email));
    add(text, "linked_account_name: ", or_none(s.linked_account_name));
    add(text, "health: ", health_text(s));
    add(text, "health_detail: ", link_status_detail(s));
    add(text, "output_status: ", output_status_text(s));
    add(text, "session_runtime: ", format_runtime(runtime.started_at, now));
    add(text, "last_upload_age: ", format_age(runtime.last_upload_at, now));
    add(text, "current_sequence: ", std::to_string(runtime.current_sequence));
    add(text, "packets total/video/audio: ",
        std::to_string(s.packets) + "/" + std::to_string(s.video_packets) + "/" +
            std::to_string(s.audio_packets));
    add(text, "dropped_mux_packets: ", std::to_string(s.dropped_mux_packets));
    add(text, "upload_queue_depth: ", std::to_string(runtime.upload_queue_depth));
    add(text, "auth_failed: ", yes_no(runtime.auth_failed));
    add(text, "cache_bytes: ", std::to_string(cache.total_bytes));
    add(text, "cache_segments: ", std::to_string(cache.segment_count));
    add(text, "cache_max_bytes: ", std::to_string(cache.max_bytes));
    add(text, "cache_evictions_total: ", std::to_string(cache.evictions));
    add(text, "cache_evictions_unuploaded: ", std::to_string(cache.unuploaded_evictions));
    if (cache.last_evicted_sequence >= 1) {
        add(text, "cache_last_evicted_sequence: ", std::to_string(cache.last_evicted_sequence));
    }
    add(text, "last_error: ", or_none(runtime.last_error));
    return text;
}

}  // namespace ryvoobs

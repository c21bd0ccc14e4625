#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "capture/plugin_status_snapshot.h"
#include "runtime/segment_data.h"

namespace ryvoobs {

// The words the dock and the support bundle use for the plug-in's state; plain functions of a
// snapshot so that both show the same thing.

// One of "Settings error", "Action needed", "Disabled", "Auth failed", "Pending", "Linked",
// "Configured", "Unlinked", the first that applies in that order.
std::string health_text(const RyvoPluginStatusSnapshot& s);
std::string link_status_detail(const RyvoPluginStatusSnapshot& s);
std::string output_status_text(const RyvoPluginStatusSnapshot& s);
std::string attached_output_text(const RyvoPluginStatusSnapshot& s);
std::string linked_account_text(const RyvoPluginStatusSnapshot& s);
std::string target_stream_text(const RyvoPluginStatusSnapshot& s);

// "Offline" without a start; else the elapsed time as MM:SS, or HH:MM:SS from one hour on.
std::string format_runtime(const std::optional<WallClockTime>& started_at, WallClockTime now);
std::string format_runtime(const std::optional<WallClockTime>& started_at);
// "never" without a time point; else "Ns ago", "Nm ago" or "Nh ago".
std::string format_age(const std::optional<WallClockTime>& at, WallClockTime now);
std::string format_age(const std::optional<WallClockTime>& at);
// Mebibytes with one decimal, e.g. "1.0 MB".
std::string format_megabytes(std::uint64_t bytes);
std::string trim_copy_ui(std::string text);
// How full the cache is, truncated and clamped to 0..100; 0 when there is no bound.
int cache_percent(std::uint64_t total_bytes, std::uint64_t max_bytes);

}  // namespace ryvoobs

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace ryvoobs {

inline constexpr std::size_t kLogTailLines = 200;

// OBS's log folder for the current user.
std::string obs_log_directory();

// The name of the most recently modified ".txt" entry. The first one listed wins a tie; entries
// whose time could not be read are passed over.
std::optional<std::string> newest_log_file_name(const std::vector<DirectoryEntry>& entries);

// The last `count` lines of `text`; a final line feed ends the last line rather than starting an
// empty one. Text with fewer lines comes back whole.
std::string_view last_lines(std::string_view text, std::size_t count);

// The last kLogTailLines lines of the newest log file in `directory`; empty when the folder cannot
// be listed or holds no log file.
std::string read_obs_log_tail(const std::string& directory);

}  // namespace ryvoobs

#include "diagnostics/obs_log_tail.h"

#include "diagnostics/text_file.h"
#include "platform/paths.h"

namespace ryvoobs {

std::string obs_log_directory() {
    return application_support_root() + "/obs-studio/logs";
}

std::optional<std::string> newest_log_file_name(const std::vector<DirectoryEntry>& entries) {
    const DirectoryEntry* newest = nullptr;
    for (const DirectoryEntry& entry : entries) {
        if (!entry.name.ends_with(".txt") || !entry.modified) {
            continue;
        }
        if (newest == nullptr || *entry.modified > *newest->modified) {
            newest = &entry;
        }
    }
    return newest != nullptr ? std::optional<std::string>(newest->name) : std::nullopt;
}

std::string_view last_lines(std::string_view text, std::size_t count) {
    std::size_t end = text.ends_with('\n') ? text.size() - 1 : text.size();
    for (std::size_t found = 0; found < count; ++found) {
        const std::size_t line_feed = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
        if (line_feed == std::string_view::npos) {
            return text;
        }
        end = line_feed;
    }
    return text.substr(end + 1);
}

std::string read_obs_log_tail(const std::string& directory) {
    const std::optional<std::vector<DirectoryEntry>> entries = list_directory(directory, nullptr);
    if (!entries) {
        return {};
    }
    const std::optional<std::string> newest = newest_log_file_name(*entries);
    if (!newest) {
        return {};
    }
    return std::string(last_lines(read_text_file(directory + "/" + *newest), kLogTailLines));
}

}  // namespace ryvoobs

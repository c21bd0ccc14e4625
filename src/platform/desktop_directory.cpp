#include "platform/desktop_directory.h"

#include <optional>
#include <sstream>
#include <string_view>

#include "platform/file_system.h"
#include "platform/paths.h"

namespace ryvoobs {
namespace {

constexpr std::string_view kDesktopKey = "XDG_DESKTOP_DIR=";
constexpr std::string_view kHomePrefix = "$HOME";

// user-dirs.dirs is a shell fragment whose values are double-quoted and either absolute or start
// with $HOME; anything else is invalid there and ignored, like xdg-user-dirs itself does.
std::optional<std::string> parse_desktop_entry(std::string_view line, const std::string& home) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line.substr(start, kDesktopKey.size()) != kDesktopKey) {
        return std::nullopt;
    }
    line.remove_prefix(start + kDesktopKey.size());
    if (line.size() < 2 || line.front() != '"') {
        return std::nullopt;
    }
    std::string value;
    bool closed = false;
    for (std::size_t i = 1; i < line.size() && !closed; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            value += line[++i];
        } else if (line[i] == '"') {
            closed = true;
        } else {
            value += line[i];
        }
    }
    if (!closed) {
        return std::nullopt;
    }
    if (value.starts_with(kHomePrefix) &&
        (value.size() == kHomePrefix.size() || value[kHomePrefix.size()] == '/')) {
        if (home.empty()) {
            return std::nullopt;
        }
        return home + value.substr(kHomePrefix.size());
    }
    if (!value.starts_with('/')) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string desktop_directory() {
    const std::string home = home_directory();
    std::optional<std::string> desktop;
    if (std::optional<std::string> dirs =
            read_whole_file(application_support_root() + "/user-dirs.dirs", nullptr)) {
        std::istringstream lines(*dirs);
        std::string line;
        // The last assignment wins, as it does when a shell sources the file.
        while (std::getline(lines, line)) {
            if (std::optional<std::string> entry = parse_desktop_entry(line, home)) {
                desktop = std::move(entry);
            }
        }
    }
    if (desktop) {
        return *desktop;
    }
    return home.empty() ? std::string() : home + "/Desktop";
}

}  // namespace ryvoobs

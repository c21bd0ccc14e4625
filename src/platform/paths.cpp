#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace ryvoobs {
namespace {

std::string absolute_environment_path(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return {};
    }
    return value;
}

std::string password_database_home() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

}  // namespace

std::string home_directory() {
    // $HOME wins so that a user (or a test) can move everything the plug-in writes elsewhere.
    std::string home = absolute_environment_path("HOME");
    return home.empty() ? password_database_home() : home;
}

std::string application_support_root() {
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and must be ignored.
    std::string root = absolute_environment_path("XDG_CONFIG_HOME");
    return root.empty() ? home_directory() + "/.config" : root;
}

std::string parent_directory(const std::string& path) {
    std::size_t end = path.find_last_of('/');
    if (end == std::string::npos) {
        return {};
    }
    while (end > 0 && path[end - 1] == '/') {
        --end;
    }
    return end == 0 ? "/" : path.substr(0, end);
}

}  // namespace ryvoobs

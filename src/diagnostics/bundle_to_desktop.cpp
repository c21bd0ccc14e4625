#include "diagnostics/bundle_to_desktop.h"

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "platform/desktop_directory.h"
#include "platform/file_system.h"

namespace ryvoobs {
namespace {

constexpr unsigned kOwnerOnly = 0600;

std::string local_timestamp_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm calendar{};
    std::array<char, 32> text{};
    if (::localtime_r(&now, &calendar) == nullptr ||
        std::strftime(text.data(), text.size(), "%Y%m%d-%H%M%S", &calendar) == 0) {
        return {};
    }
    return text.data();
}

bool fail(std::string* error, std::string message) {
    if (error != nullptr) {
        *error = std::move(message);
    }
    return false;
}

// A file system that keeps no POSIX modes (a FAT stick mounted as Desktop) accepts the mode and
// shows another, so the mode is read back rather than trusted.
bool has_owner_only_mode(const std::string& path) {
    std::error_code failed;
    const std::filesystem::file_status status = std::filesystem::status(path, failed);
    return !failed && (status.permissions() & std::filesystem::perms::mask) ==
                          static_cast<std::filesystem::perms>(kOwnerOnly);
}

}  // namespace

bool write_bundle_to_desktop(std::string_view bundle, std::string* path, std::string* error) {
    const std::string desktop = desktop_directory();
    if (desktop.empty()) {
        return fail(error, "Could not locate the Desktop folder.");
    }
    const std::string file = desktop + "/ryvo-diagnostics-" + local_timestamp_now() + ".txt";
    std::string reason;
    // Written with its final mode from the start: a bundle that was readable by others even for
    // a moment could be copied before a later chmod.
    if (!create_directories(desktop, &reason) ||
        !write_file_atomically(file, bundle, kOwnerOnly, &reason)) {
        return fail(error, "Could not write diagnostic bundle: " + reason);
    }
    if (!has_owner_only_mode(file)) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        return fail(error, "Could not secure diagnostic bundle permissions.");
    }
    if (path != nullptr) {
        *path = file;
    }
    return true;
}

}  // namespace ryvoobs

#include "config/config_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/file_system.h"

namespace ryvoobs {
namespace {

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

}  // namespace

std::string ConfigReading::unreadable_message() const {
    return "Could not read the Ryvo settings: " + error;
}

ConfigStore::ConfigStore(std::function<std::string()> locate, KeyStorage keys)
    : locate_(std::move(locate)), keys_(keys) {}

ConfigStore::~ConfigStore() {
    if (refresher_.joinable()) {
        refresher_.join();
    }
}

ConfigReading ConfigStore::read(Retry retry) {
    std::lock_guard lock(mutex_);
    refresh_locked(retry);
    return *cached_;
}

ConfigReading ConfigStore::current() {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        {
            std::lock_guard published(published_mutex_);
            if (published_) {
                return *published_;
            }
        }
        lock.lock();
    }
    std::optional<FileIdentity> identity;
    std::string stat_error;
    if (!stale_locked(Retry::no, &identity, &stat_error)) {
        return *cached_;
    }
    if (!cached_) {
        take_in_locked(identity, stat_error, std::nullopt);
        return *cached_;
    }
    if (!refreshing_.exchange(true)) {
        // A refresher that cleared the flag has left read(), so joining it waits for nothing.
        if (refresher_.joinable()) {
            refresher_.join();
        }
        try {
            refresher_ = std::thread([this] {
                read();
                refreshing_.store(false);
            });
        } catch (const std::system_error&) {
            // No thread to be had: read here rather than never again.
            refreshing_.store(false);
            take_in_locked(identity, stat_error, std::nullopt);
        }
    }
    return *cached_;
}

std::optional<PluginConfig> ConfigStore::load(std::string* error, std::uint64_t* generation) {
    ConfigReading reading = read(Retry::unreadable);
    if (generation != nullptr) {
        *generation = reading.generation;
    }
    if (reading.state == ConfigReading::State::missing) {
        std::lock_guard lock(mutex_);
        set_error(error, "config file not found: " + path_);
        return std::nullopt;
    }
    if (reading.state == ConfigReading::State::unreadable) {
        set_error(error, std::move(reading.error));
        return std::nullopt;
    }
    std::vector<std::string> messages = reading.config.validate();
    if (!messages.empty()) {
        set_error(error, std::move(messages.front()));
        return std::nullopt;
    }
    return std::move(reading.config);
}

bool ConfigStore::save(const PluginConfig& config, std::uint64_t generation, std::string* error) {
    std::lock_guard lock(mutex_);
    refresh_locked(Retry::no);
    if (!cached_->readable()) {
        set_error(error, cached_->unreadable_message());
        return false;
    }
    if (cached_->generation != generation) {
        set_error(error, "The Ryvo settings changed meanwhile; try again");
        return false;
    }
    std::string save_error;
    const bool saved = save_config_file(path_, config, &save_error, keys_);
    if (!saved) {
        // A refused save leaves the file as it was, and the cached version with it, unless the
        // write got as far as replacing it.
        refresh_locked(Retry::no);
        set_error(error, std::move(save_error));
        return false;
    }
    // The version just written is taken in at once; the key just stored is taken as it is
    // instead of being asked for again.
    std::string stat_error;
    const std::optional<FileIdentity> identity = identify(path_, &stat_error);
    take_in_locked(identity, stat_error, config.api_key);
    set_error(error, std::move(save_error));
    return true;
}

std::optional<ConfigStore::FileIdentity> ConfigStore::identify(const std::string& path,
                                                               std::string* error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return FileIdentity{};
        }
        *error = std::strerror(errno);
        return std::nullopt;
    }
    return FileIdentity{
        true, info.st_dev, info.st_ino, info.st_size,
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

bool ConfigStore::stale_locked(Retry retry, std::optional<FileIdentity>* identity,
                               std::string* stat_error) {
    std::string path = locate_();
    if (path != path_) {
        path_ = std::move(path);
        identity_.reset();
        cached_.reset();
    }
    *identity = identify(path_, stat_error);
    const bool retrying = retry == Retry::unreadable && cached_ && !cached_->readable();
    return !cached_ || !*identity || *identity != identity_ || retrying;
}

void ConfigStore::refresh_locked(Retry retry) {
    std::optional<FileIdentity> identity;
    std::string stat_error;
    if (stale_locked(retry, &identity, &stat_error)) {
        take_in_locked(identity, stat_error, std::nullopt);
    }
}

void ConfigStore::take_in_locked(const std::optional<FileIdentity>& identity,
                                 const std::string& stat_error,
                                 const std::optional<std::string>& saved_key) {
    ConfigReading reading;
    reading.generation = ++last_generation_;
    identity_ = identity;
    if (!identity) {
        reading.state = ConfigReading::State::unreadable;
        reading.error = "cannot read " + path_ + ": " + stat_error;
    } else if (!identity->exists) {
        reading.state = ConfigReading::State::missing;
    } else {
        std::string reason;
        std::optional<std::string> text = read_whole_file(path_, &reason);
        std::optional<PluginConfig> config;
        if (!text) {
            reason = "cannot read " + path_ + ": " + reason;
        } else if (saved_key && !saved_key->empty() && keys_ == KeyStorage::credential_store) {
            config = parse_config_text(*text, KeyStorage::in_file, &reason);
            if (config && config->auth_mode == AuthMode::portal && config->api_key.empty()) {
                config->api_key = *saved_key;
            }
        } else {
            config = parse_config_text(*text, keys_, &reason);
        }
        if (config) {
            reading.state = ConfigReading::State::loaded;
            reading.config = std::move(*config);
        } else {
            reading.state = ConfigReading::State::unreadable;
            reading.error = std::move(reason);
        }
    }
    cached_ = std::move(reading);
    std::lock_guard published(published_mutex_);
    published_ = cached_;
}

ConfigStore& plugin_config_store() {
    static ConfigStore store(default_config_path, KeyStorage::credential_store);
    return store;
}

}  // namespace ryvoobs

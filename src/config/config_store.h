#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config/config_file.h"
#include "config/plugin_config.h"

namespace ryvoobs {

// One version of the configuration file as the store took it in.
struct ConfigReading {
    enum class State { missing, loaded, unreadable };

    State state = State::missing;
    // The file's record; the defaults when there is no file, and when it could not be read.
    PluginConfig config;
    // Why the file could not be read; empty otherwise.
    std::string error;
    // Moves on whenever the store takes in another version of the file, read or saved.
    std::uint64_t generation = 0;

    bool readable() const { return state != State::unreadable; }
    // "Could not read the Ryvo settings: " followed by the reason.
    std::string unreadable_message() const;
};

// The configuration file, read once and kept: it is read again only when the file changed
// (another inode, size or modification time) or, when asked, after a failed read. A portal-linked
// install's key therefore costs one credential-store lookup per version of the file, not one per
// look at the settings. A save goes through the store and refuses to replace a file it could not
// read, so that a locked keyring or a typo never turns into a default record over the user's
// settings. Safe to use from any thread; reads and saves are serialised.
class ConfigStore {
  public:
    enum class Retry { no, unreadable };

    // `locate` names the file at each use, so that the store follows the configuration folder.
    ConfigStore(std::function<std::string()> locate, KeyStorage keys);

    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;
    // Waits for a version being read in the background.
    ~ConfigStore();

    // The current version. Without a retry a failed read stands until the file changes: the
    // dock's once-a-second look must not ask a locked keyring again and again.
    ConfigReading read(Retry retry = Retry::no);

    // The version as it stands, for OBS's UI thread, which must wait neither for the credential
    // store nor for a read or save under way on another thread. When the file changed, the
    // version taken in before is the answer and the new one is read on a thread of the store's
    // own; while the store is busy, the last version taken in is. Only the very first look, with
    // nothing taken in yet, reads the file itself.
    ConfigReading current();

    // A readable, valid record, with the texts of load_config_file for the rest ("config file not
    // found: " + path, the reader's error, the first rule broken). Retries a failed read.
    // `generation` (may be null) receives the version, for a save of a changed copy.
    std::optional<PluginConfig> load(std::string* error, std::uint64_t* generation = nullptr);

    // Replaces the version `generation` with `config`. Refused, leaving the file as it is, when
    // the file could not be read or changed since that version. True when the file was written;
    // `error` may then still carry the first validation message, as with save_config_file.
    bool save(const PluginConfig& config, std::uint64_t generation, std::string* error);

  private:
    struct FileIdentity {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modified_ns = 0;

        bool operator==(const FileIdentity&) const = default;
    };

    // The file's identity; one that does not exist for a missing file, nothing (with the reason)
    // when it cannot be looked at.
    static std::optional<FileIdentity> identify(const std::string& path, std::string* error);
    // Whether the cached version is out of date, with the file's identity; expects mutex_ held.
    bool stale_locked(Retry retry, std::optional<FileIdentity>* identity, std::string* stat_error);
    // Brings the cached version up to date with the file; expects mutex_ held.
    void refresh_locked(Retry retry);
    // Reads the file anew. `saved_key` is the key a save of ours just stored, which spares asking
    // the credential store for it again.
    void take_in_locked(const std::optional<FileIdentity>& identity, const std::string& stat_error,
                        const std::optional<std::string>& saved_key);

    const std::function<std::string()> locate_;
    const KeyStorage keys_;

    std::mutex mutex_;
    std::string path_;
    std::optional<FileIdentity> identity_;
    std::optional<ConfigReading> cached_;
    std::uint64_t last_generation_ = 0;

    // A copy of cached_ that current() can take while mutex_ is held across a read; taken after
    // mutex_ when both are.
    std::mutex published_mutex_;
    std::optional<ConfigReading> published_;

    std::atomic<bool> refreshing_{false};
    std::thread refresher_;
};

// The plug-in's own file at default_config_path(), its API key in the credential store.
ConfigStore& plugin_config_store();

}  // namespace ryvoobs

// Switching OBS's active streaming service to the plug-in's and back. Every switch is made in
// memory only: OBS's profile files are never written, so the user's saved service stays on disk
// and the backup in the plug-in's configuration is what gives it back within a session. Backups
// are bound to the OBS profile they were taken in, so that one profile's service never lands in
// another.

#include "capture/streaming_service_backup_obs.h"

#include <obs.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "capture/frontend_api.h"
#include "capture/native_stream_service_obs.h"
#include "capture/obs_log.h"
#include "capture/service_backup_rules.h"
#include "config/config_store.h"
#include "config/plugin_config.h"

namespace ryvoobs {
namespace {

bool is_ryvo_service(obs_service_t* service) {
    const char* id = service != nullptr ? obs_service_get_id(service) : nullptr;
    return id != nullptr && std::strcmp(id, kRyvoStreamServiceId) == 0;
}

std::string current_profile_name() {
    return frontend_api().current_profile_name();
}

// The JSON of `data`, which the call releases; "" for none.
std::string take_json(obs_data_t* data) {
    if (data == nullptr) {
        return {};
    }
    const char* json = obs_data_get_json(data);
    std::string result = json != nullptr ? json : "";
    obs_data_release(data);
    return result;
}

void snapshot_previous_service(obs_service_t* service, PluginConfig* config) {
    if (service == nullptr || is_ryvo_service(service)) {
        return;
    }
    const char* id = obs_service_get_id(service);
    if (id == nullptr || id[0] == '\0') {
        return;
    }
    apply_service_backup({id, current_profile_name(), take_json(obs_service_get_settings(service)),
                          take_json(obs_hotkeys_save_service(service))},
                         config);
}

// Null for empty JSON; the caller releases the result.
obs_data_t* data_from_json(const std::string& json) {
    return json.empty() ? nullptr : obs_data_create_from_json(json.c_str());
}

void warn_not_restored(const std::string& reason) {
    ryvo_log(LOG_WARNING,
             "OBS is still configured to use Ryvo as the active streaming service, but Ryvo "
             "could not restore the previous service (%s)",
             reason.c_str());
}

void restore_previous_streaming_service_from_config(const std::optional<PluginConfig>& config,
                                                    const std::string& load_error,
                                                    obs_service_t* current) {
    if (!is_ryvo_service(current)) {
        return;
    }
    const ServiceRestorePlan plan =
        plan_service_restore(config, load_error, current_profile_name());
    if (!plan.recreate) {
        warn_not_restored(plan.refusal);
        return;
    }
    obs_data_t* settings = data_from_json(config->previous_service_settings_json);
    obs_data_t* hotkeys = data_from_json(config->previous_service_hotkeys_json);
    obs_service_t* previous = obs_service_create(config->previous_service_id.c_str(),
                                                 "default_service", settings, hotkeys);
    obs_data_release(settings);
    obs_data_release(hotkeys);
    if (previous == nullptr) {
        warn_not_restored("previous OBS streaming service backup could not be recreated");
        return;
    }
    frontend_api().set_streaming_service(previous);
    ryvo_log(LOG_INFO,
             "restored previous OBS streaming service '%s' (in-memory; not persisted to "
             "profile)",
             config->previous_service_id.c_str());
    obs_service_release(previous);
}

void select_ryvo_service(const PluginConfig& config, std::uint64_t generation,
                         obs_service_t* current) {
    if (is_ryvo_service(current)) {
        return;
    }
    PluginConfig backup = config;
    snapshot_previous_service(current, &backup);
    if (service_backup_differs(backup, config)) {
        std::string error;
        if (plugin_config_store().save(backup, generation, &error)) {
            ryvo_log(LOG_INFO, "backed up OBS streaming service '%s' before switching to Ryvo",
                     backup.previous_service_id.c_str());
        } else {
            ryvo_log(LOG_WARNING, "failed to persist previous OBS streaming service backup: %s",
                     error.c_str());
        }
    }
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "api_endpoint", config.api_endpoint.c_str());
    obs_data_set_string(settings, "stream_id", config.stream_id.c_str());
    obs_service_t* ryvo =
        obs_service_create(kRyvoStreamServiceId, "default_service", settings, nullptr);
    obs_data_release(settings);
    if (ryvo == nullptr) {
        ryvo_log(LOG_WARNING, "failed to create Ryvo streaming service");
        return;
    }
    frontend_api().set_streaming_service(ryvo);
    ryvo_log(LOG_INFO,
             "selected Ryvo as the active OBS streaming service (in-memory; not persisted to "
             "profile)");
    obs_service_release(ryvo);
}

void bind_legacy_backup(PluginConfig config, std::uint64_t generation, obs_service_t* current) {
    PluginConfig fresh;
    snapshot_previous_service(current, &fresh);
    const ServiceBackupSnapshot snapshot{fresh.previous_service_id, fresh.previous_service_profile,
                                         fresh.previous_service_settings_json,
                                         fresh.previous_service_hotkeys_json};
    if (!legacy_backup_binds_to(config, snapshot, is_ryvo_service(current))) {
        return;
    }
    config.previous_service_profile = snapshot.profile;
    std::string error;
    if (plugin_config_store().save(config, generation, &error)) {
        ryvo_log(LOG_INFO, "bound legacy OBS streaming service backup '%s' to profile '%s'",
                 config.previous_service_id.c_str(), snapshot.profile.c_str());
    } else {
        ryvo_log(LOG_WARNING,
                 "failed to bind legacy OBS streaming service backup to profile '%s': %s",
                 snapshot.profile.c_str(), error.c_str());
    }
}

void record_initial_backup(const PluginConfig& config, std::uint64_t generation,
                           obs_service_t* current) {
    if (current == nullptr) {
        return;
    }
    if (is_ryvo_service(current)) {
        ryvo_log(LOG_WARNING,
                 "OBS profile has Ryvo as the active service at load time; cannot record an "
                 "initial non-Ryvo backup. Toggle Ryvo off and pick a regular service to seed the "
                 "backup.");
        return;
    }
    PluginConfig backup = config;
    snapshot_previous_service(current, &backup);
    if (backup.previous_service_id.empty()) {
        return;
    }
    std::string error;
    if (plugin_config_store().save(backup, generation, &error)) {
        ryvo_log(LOG_INFO,
                 "captured initial OBS streaming service backup '%s' for future Ryvo-off "
                 "restoration",
                 backup.previous_service_id.c_str());
    } else {
        ryvo_log(LOG_WARNING, "failed to persist initial OBS streaming service backup: %s",
                 error.c_str());
    }
}

}  // namespace

void ensure_streaming_service_selected() {
    std::string load_error;
    std::uint64_t generation = 0;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error, &generation);
    obs_service_t* current = frontend_api().streaming_service();
    if (config && config->enabled && !config->stream_id.empty() && !config->api_key.empty()) {
        select_ryvo_service(*config, generation, current);
    } else {
        restore_previous_streaming_service_from_config(config, load_error, current);
    }
}

void restore_previous_streaming_service() {
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    restore_previous_streaming_service_from_config(config, load_error,
                                                   frontend_api().streaming_service());
}

void capture_initial_service_backup() {
    std::uint64_t generation = 0;
    const std::optional<PluginConfig> config = plugin_config_store().load(nullptr, &generation);
    if (!config) {
        return;
    }
    obs_service_t* current = frontend_api().streaming_service();
    if (!config->previous_service_id.empty()) {
        bind_legacy_backup(*config, generation, current);
    } else {
        record_initial_backup(*config, generation, current);
    }
}

bool active_streaming_service_is_ryvo() {
    return is_ryvo_service(frontend_api().streaming_service());
}

}  // namespace ryvoobs

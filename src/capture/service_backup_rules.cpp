#include "capture/service_backup_rules.h"

namespace ryvoobs {

void apply_service_backup(const ServiceBackupSnapshot& snapshot, PluginConfig* config) {
    config->previous_service_id = snapshot.id;
    config->previous_service_profile = snapshot.profile;
    config->previous_service_settings_json = snapshot.settings_json;
    config->previous_service_hotkeys_json = snapshot.hotkeys_json;
}

bool service_backup_differs(const PluginConfig& a, const PluginConfig& b) {
    return a.previous_service_id != b.previous_service_id ||
           a.previous_service_profile != b.previous_service_profile ||
           a.previous_service_settings_json != b.previous_service_settings_json ||
           a.previous_service_hotkeys_json != b.previous_service_hotkeys_json;
}

ServiceRestorePlan plan_service_restore(const std::optional<PluginConfig>& config,
                                        const std::string& load_error,
                                        const std::string& current_profile) {
    if (!config) {
        return {false, load_error.empty() ? "Ryvo config is unavailable" : load_error};
    }
    if (config->previous_service_profile.empty()) {
        return {false,
                "saved service predates profile-aware backups; select the intended OBS service "
                "once in this profile"};
    }
    if (current_profile != config->previous_service_profile) {
        return {false, "saved service belongs to OBS profile '" + config->previous_service_profile +
                           "', not current profile '" +
                           (current_profile.empty() ? std::string("unknown") : current_profile) +
                           "'"};
    }
    // A profile recorded without a service id is a backup of nothing: there is no service to
    // give back, and the plug-in's own stays active.
    if (config->previous_service_id.empty()) {
        return {false, "no previous OBS streaming service backup was saved"};
    }
    return {true, ""};
}

bool legacy_backup_binds_to(const PluginConfig& saved, const ServiceBackupSnapshot& current,
                            bool current_is_ryvo) {
    return saved.previous_service_profile.empty() && !current_is_ryvo && !current.profile.empty() &&
           current.id == saved.previous_service_id &&
           current.settings_json == saved.previous_service_settings_json &&
           current.hotkeys_json == saved.previous_service_hotkeys_json;
}

}  // namespace ryvoobs

#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

// The parts of the user's streaming service that a backup keeps.
struct ServiceBackupSnapshot {
    std::string id;
    std::string profile;
    std::string settings_json;
    std::string hotkeys_json;
};

// The backup fields of `config` replaced by `snapshot`.
void apply_service_backup(const ServiceBackupSnapshot& snapshot, PluginConfig* config);

bool service_backup_differs(const PluginConfig& a, const PluginConfig& b);

// Whether the backup of `config` may be re-created in the profile named `current_profile`; when
// not, `refusal` says why, in the words of the warning.
struct ServiceRestorePlan {
    bool recreate = false;
    std::string refusal;
};

ServiceRestorePlan plan_service_restore(const std::optional<PluginConfig>& config,
                                        const std::string& load_error,
                                        const std::string& current_profile);

// A backup saved before profiles were recorded may be bound to the current profile only when the
// user's current service is that very service, so that it is never handed to another profile.
bool legacy_backup_binds_to(const PluginConfig& saved, const ServiceBackupSnapshot& current,
                            bool current_is_ryvo);

}  // namespace ryvoobs

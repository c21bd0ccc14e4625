// What the plug-in does when OBS loads and unloads it. A missing or invalid configuration never
// fails the load: the dock stays available so that the user can link or fix the install.

#include <obs-module.h>

#include <chrono>
#include <optional>
#include <string>

#include "capture/frontend_hook_obs.h"
#include "capture/native_stream_service_obs.h"
#include "capture/obs_log.h"
#include "capture/packet_tap_obs.h"
#include "capture/streaming_service_backup_obs.h"
#include "config/config_file.h"
#include "config/config_store.h"
#include "config/plugin_config.h"
#include "dock/settings_ui.h"

namespace {

constexpr std::chrono::seconds kFinishingGraceAtExit{5};

void log_loaded_config(const ryvoobs::PluginConfig& config) {
    ryvoobs::ryvo_log(LOG_INFO,
                      "loaded config for stream %s with %d-minute RAM buffer (enabled=%s "
                      "runtime=%s capture=%s)",
                      config.stream_id.c_str(), config.ram_buffer_minutes,
                      config.enabled ? "true" : "false", ryvoobs::to_string(config.runtime_mode),
                      ryvoobs::to_string(config.capture_mode));
    if (config.enabled) {
        ryvoobs::ryvo_log(LOG_INFO,
                          "Ryvo will reconcile the OBS Stream button with capture_mode=%s for this "
                          "install.",
                          ryvoobs::to_string(config.capture_mode));
    } else {
        ryvoobs::ryvo_log(LOG_INFO,
                          "Ryvo plugin starts disabled; OBS recording and streaming will run "
                          "normally until Ryvo is turned back on");
    }
}

}  // namespace

extern "C" {

MODULE_EXPORT bool obs_module_load(void) {
    ryvoobs::ryvo_log(LOG_INFO, "module loaded");
    // The service type must exist before the active service can be switched to it.
    ryvoobs::register_stream_service();
    ryvoobs::install_settings_ui();
    // OBS reads the profile's streaming service only after it has loaded every module, so at this
    // point its "active service" is a placeholder it invents on request. Reconciling against that
    // would record the placeholder as the user's own service and overwrite the real backup; the
    // hook reconciles once OBS has finished loading instead.

    const std::string path = ryvoobs::default_config_path();
    std::string error;
    const std::optional<ryvoobs::PluginConfig> config = ryvoobs::plugin_config_store().load(&error);
    if (config) {
        log_loaded_config(*config);
        ryvoobs::install_obs_hook(ryvoobs::HookInstall::after_obs_loads);
    } else {
        // Without a configuration there is nothing to attach; the dock installs the hook once it
        // has saved one.
        ryvoobs::ryvo_log(LOG_INFO, "no runtime config loaded from %s (%s)", path.c_str(),
                          error.c_str());
    }
    return true;
}

MODULE_EXPORT void obs_module_unload(void) {
    // The hook goes first so that no delivery is running while the service and dock go away;
    // what is still finishing gets a few seconds in total, never holding OBS's exit longer.
    ryvoobs::uninstall_obs_hook();
    ryvoobs::packet_tap().shut_down(kFinishingGraceAtExit);
    ryvoobs::restore_previous_streaming_service();
    ryvoobs::uninstall_settings_ui();
    ryvoobs::ryvo_log(LOG_INFO, "module unloaded");
}

}  // extern "C"

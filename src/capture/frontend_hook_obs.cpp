#include "capture/frontend_hook_obs.h"

#include <obs-frontend-api.h>
#include <obs.h>

#include <mutex>
#include <optional>
#include <string>

#include "capture/frontend_api.h"
#include "capture/frontend_output_target.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "config/config_store.h"

namespace ryvoobs {
namespace {

bool hook_installed = false;

AttachmentView attachment_view_locked(const PacketTapState& tap) {
    return AttachmentView{tap.output != nullptr ? tap.source : TapSource::none, tap.capture_mode,
                          tap.output_kind};
}

void detach_if_attached_locked() {
    if (packet_tap_state().output != nullptr) {
        detach_stream_output_locked(false);
    }
}

void log_capture_topology(const PluginConfig& config, FrontendOutputTarget target,
                          bool streaming_active) {
    if (target == FrontendOutputTarget::recording) {
        blog(LOG_INFO,
             "[ryvo-obs] Ryvo is attached to OBS recording output. This is the preferred "
             "Ryvo-only path for delayed delivery testing.");
        if (streaming_active) {
            blog(LOG_WARNING,
                 "[ryvo-obs] OBS direct streaming is also active while Ryvo is attached to "
                 "recording. Viewers on the OBS destination are not using Ryvo delay unless you "
                 "route that destination through Ryvo.");
        }
        return;
    }
    if (config.capture_mode == CaptureMode::either) {
        blog(LOG_WARNING,
             "[ryvo-obs] capture_mode=either fell back to OBS streaming output because recording "
             "is inactive. This can bypass Ryvo delay if OBS is streaming directly to a public "
             "destination.");
        return;
    }
    blog(LOG_WARNING,
         "[ryvo-obs] Ryvo is attached to OBS streaming output (capture_mode=%s). If OBS is "
         "pushing directly to YouTube/RTMP, that path bypasses Ryvo delay.",
         to_string(config.capture_mode));
}

// Attaches the frontend road to OBS's `target` output. Expects the attachment lock held.
void attach_frontend_output_locked(const PluginConfig& config, FrontendOutputTarget target,
                                   bool streaming_active) {
    const char* name = to_string(target);
    FrontendApi& api = frontend_api();
    obs_output_t* frontend_output =
        target == FrontendOutputTarget::streaming ? api.streaming_output() : api.recording_output();
    if (frontend_output == nullptr) {
        blog(LOG_WARNING, "[ryvo-obs] OBS reported %s active but no %s output was available", name,
             name);
        return;
    }
    // The tap owns exactly one reference of its own; the frontend's is given back at once.
    obs_output_t* output = obs_output_get_ref(frontend_output);
    obs_output_release(frontend_output);
    if (output == nullptr) {
        blog(LOG_WARNING, "[ryvo-obs] failed to acquire reference to current OBS %s output", name);
        return;
    }
    if (is_ryvo_native_output(output)) {
        obs_output_release(output);
        if (packet_tap_state().source == TapSource::frontend_callback) {
            detach_stream_output_locked(false);
        }
        blog(LOG_INFO, "[ryvo-obs] OBS %s output is Ryvo-native; frontend tap is standing by",
             name);
        return;
    }
    if (attach_stream_output_locked(output, config.capture_mode, name, TapSource::frontend_callback,
                                    nullptr)) {
        log_capture_topology(config, target, streaming_active);
    }
}

void handle_output_stopped(FrontendOutputTarget stopped) {
    FrontendApi& api = frontend_api();
    {
        PacketTapState& tap = packet_tap_state();
        std::lock_guard lock(tap.mutex);
        const bool other_active = stopped == FrontendOutputTarget::streaming
                                      ? api.recording_active()
                                      : api.streaming_active();
        if (stop_ends_broadcast(attachment_view_locked(tap), stopped, other_active)) {
            detach_stream_output_locked(true);
        }
    }
    refresh_output_attachment();
}

void frontend_event(obs_frontend_event event, void* /*data*/) {
    switch (event) {
        case OBS_FRONTEND_EVENT_STREAMING_STARTED:
        case OBS_FRONTEND_EVENT_RECORDING_STARTED:
            refresh_output_attachment();
            break;
        case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
            handle_output_stopped(FrontendOutputTarget::streaming);
            break;
        case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
            handle_output_stopped(FrontendOutputTarget::recording);
            break;
        case OBS_FRONTEND_EVENT_PROFILE_CHANGED:
            frontend_api().ensure_streaming_service_selected();
            break;
        case OBS_FRONTEND_EVENT_EXIT: {
            std::lock_guard lock(packet_tap_state().mutex);
            detach_stream_output_locked(false);
            break;
        }
        case OBS_FRONTEND_EVENT_FINISHED_LOADING:
            frontend_api().capture_initial_service_backup();
            frontend_api().ensure_streaming_service_selected();
            break;
        default:
            break;
    }
}

}  // namespace

void refresh_output_attachment() {
    PacketTapState& tap = packet_tap_state();
    FrontendApi& api = frontend_api();
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    if (!config) {
        {
            std::lock_guard lock(tap.mutex);
            detach_if_attached_locked();
        }
        blog(LOG_WARNING, "[ryvo-obs] cannot refresh OBS hook because config failed to load: %s",
             load_error.c_str());
        return;
    }
    if (!config->enabled) {
        {
            std::lock_guard lock(tap.mutex);
            detach_if_attached_locked();
        }
        api.ensure_streaming_service_selected();
        if (api.active_streaming_service_is_ryvo()) {
            blog(LOG_WARNING,
                 "[ryvo-obs] Ryvo is disabled and is not capturing packets, but OBS still has the "
                 "Ryvo service selected; choose a regular service in OBS Settings > Stream");
        } else {
            blog(LOG_INFO,
                 "[ryvo-obs] Ryvo plugin is disabled; OBS outputs will run normally without Ryvo "
                 "attachment");
        }
        return;
    }
    if (config->stream_id.empty() || config->api_key.empty()) {
        {
            std::lock_guard lock(tap.mutex);
            detach_if_attached_locked();
        }
        api.ensure_streaming_service_selected();
        if (config->auth_mode == AuthMode::portal) {
            blog(LOG_INFO,
                 "[ryvo-obs] Ryvo portal mode is enabled but this OBS install is not linked yet; "
                 "waiting for portal approval before attaching");
        } else {
            blog(LOG_WARNING,
                 "[ryvo-obs] Ryvo config is enabled but missing runtime credentials; waiting for "
                 "a valid stream_id/api_key");
        }
        return;
    }
    api.ensure_streaming_service_selected();

    std::lock_guard lock(tap.mutex);
    const bool streaming_active = api.streaming_active();
    const FrontendOutputTarget target =
        choose_frontend_target(config->capture_mode, api.recording_active(), streaming_active);
    switch (decide_refresh(attachment_view_locked(tap), config->capture_mode, target)) {
        case RefreshAction::stand_aside:
        case RefreshAction::keep:
            return;
        case RefreshAction::detach:
            detach_if_attached_locked();
            return;
        case RefreshAction::attach:
            detach_if_attached_locked();
            attach_frontend_output_locked(*config, target, streaming_active);
            return;
    }
}

bool install_obs_hook(HookInstall reconcile) {
    if (!hook_installed) {
        frontend_api().add_event_callback(frontend_event, nullptr);
        hook_installed = true;
        blog(LOG_INFO, "[ryvo-obs] installed OBS frontend hook");
    }
    if (reconcile == HookInstall::now) {
        refresh_output_attachment();
    }
    return true;
}

void uninstall_obs_hook() {
    {
        std::lock_guard lock(packet_tap_state().mutex);
        detach_stream_output_locked(false);
    }
    if (hook_installed) {
        frontend_api().remove_event_callback(frontend_event, nullptr);
        hook_installed = false;
        blog(LOG_INFO, "[ryvo-obs] removed OBS frontend hook");
    }
}

bool obs_hook_installed() {
    return hook_installed;
}

}  // namespace ryvoobs

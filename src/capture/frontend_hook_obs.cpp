#include "capture/frontend_hook_obs.h"

#include <obs-frontend-api.h>
#include <obs.h>

#include <optional>
#include <string>
#include <utility>

#include "capture/frontend_api.h"
#include "capture/frontend_output_target.h"
#include "capture/obs_log.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "config/config_store.h"

namespace ryvoobs {
namespace {

bool hook_installed = false;

void detach_if_attached(PacketTap::Attachment& tap) {
    if (tap.attached()) {
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }
}

void log_capture_topology(const PluginConfig& config, FrontendOutputTarget target,
                          bool streaming_active) {
    if (target == FrontendOutputTarget::recording) {
        ryvo_log(LOG_INFO,
                 "Ryvo is attached to OBS recording output. This is the preferred "
                 "Ryvo-only path for delayed delivery testing.");
        if (streaming_active) {
            ryvo_log(
                LOG_WARNING,
                "OBS direct streaming is also active while Ryvo is attached to "
                "recording. Viewers on the OBS destination are not using Ryvo delay unless you "
                "route that destination through Ryvo.");
        }
        return;
    }
    if (config.capture_mode == CaptureMode::either) {
        ryvo_log(LOG_WARNING,
                 "capture_mode=either fell back to OBS streaming output because recording "
                 "is inactive. This can bypass Ryvo delay if OBS is streaming directly to a public "
                 "destination.");
        return;
    }
    ryvo_log(LOG_WARNING,
             "Ryvo is attached to OBS streaming output (capture_mode=%s). If OBS is "
             "pushing directly to YouTube/RTMP, that path bypasses Ryvo delay.",
             to_string(config.capture_mode));
}

// Attaches the frontend road to OBS's `target` output.
void attach_frontend_output(PacketTap::Attachment& tap, const PluginConfig& config,
                            FrontendOutputTarget target, bool streaming_active) {
    const char* name = to_string(target);
    FrontendApi& api = frontend_api();
    // The frontend's reference is given back at once; the tap keeps exactly one of its own.
    const OBSOutputAutoRelease frontend_output =
        target == FrontendOutputTarget::streaming ? api.streaming_output() : api.recording_output();
    if (frontend_output == nullptr) {
        ryvo_log(LOG_WARNING, "OBS reported %s active but no %s output was available", name, name);
        return;
    }
    OBSOutputAutoRelease output = obs_output_get_ref(frontend_output);
    if (output == nullptr) {
        ryvo_log(LOG_WARNING, "failed to acquire reference to current OBS %s output", name);
        return;
    }
    if (is_ryvo_native_output(output)) {
        if (tap.source() == TapSource::frontend_callback) {
            detach_stream_output(tap, BroadcastEnd::keep_open);
        }
        ryvo_log(LOG_INFO, "OBS %s output is Ryvo-native; frontend tap is standing by", name);
        return;
    }
    if (attach_stream_output(tap, std::move(output), config.capture_mode, name,
                             TapSource::frontend_callback, nullptr)) {
        log_capture_topology(config, target, streaming_active);
    }
}

void handle_output_stopped(FrontendOutputTarget stopped) {
    FrontendApi& api = frontend_api();
    {
        PacketTap::Attachment tap = packet_tap().attachment();
        const bool other_active = stopped == FrontendOutputTarget::streaming
                                      ? api.recording_active()
                                      : api.streaming_active();
        // The plug-in's own output is OBS's streaming output; it detaches in its own stop, unless
        // it was stopped from within (a fatal delivery failure), which calls no stop.
        const bool own_output_stopped =
            stopped == FrontendOutputTarget::streaming && tap.source() == TapSource::native_output;
        if (own_output_stopped || stop_ends_broadcast(tap.view(), stopped, other_active)) {
            detach_stream_output(tap, BroadcastEnd::post);
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
            PacketTap::Attachment tap = packet_tap().attachment();
            detach_stream_output(tap, BroadcastEnd::keep_open);
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
    FrontendApi& api = frontend_api();
    std::string load_error;
    const std::optional<PluginConfig> config = plugin_config_store().load(&load_error);
    if (!config) {
        {
            PacketTap::Attachment tap = packet_tap().attachment();
            detach_if_attached(tap);
        }
        ryvo_log(LOG_WARNING, "cannot refresh OBS hook because config failed to load: %s",
                 load_error.c_str());
        return;
    }
    if (!config->enabled) {
        {
            PacketTap::Attachment tap = packet_tap().attachment();
            detach_if_attached(tap);
        }
        api.ensure_streaming_service_selected();
        if (api.active_streaming_service_is_ryvo()) {
            ryvo_log(LOG_WARNING,
                     "Ryvo is disabled and is not capturing packets, but OBS still has the "
                     "Ryvo service selected; choose a regular service in OBS Settings > Stream");
        } else {
            ryvo_log(LOG_INFO,
                     "Ryvo plugin is disabled; OBS outputs will run normally without Ryvo "
                     "attachment");
        }
        return;
    }
    if (config->stream_id.empty() || config->api_key.empty()) {
        {
            PacketTap::Attachment tap = packet_tap().attachment();
            detach_if_attached(tap);
        }
        api.ensure_streaming_service_selected();
        if (config->auth_mode == AuthMode::portal) {
            ryvo_log(LOG_INFO,
                     "Ryvo portal mode is enabled but this OBS install is not linked yet; "
                     "waiting for portal approval before attaching");
        } else {
            ryvo_log(LOG_WARNING,
                     "Ryvo config is enabled but missing runtime credentials; waiting for "
                     "a valid stream_id/api_key");
        }
        return;
    }
    api.ensure_streaming_service_selected();

    PacketTap::Attachment tap = packet_tap().attachment();
    const bool streaming_active = api.streaming_active();
    const FrontendOutputTarget target =
        choose_frontend_target(config->capture_mode, api.recording_active(), streaming_active);
    switch (decide_refresh(tap.view(), config->capture_mode, target)) {
        case RefreshAction::stand_aside:
        case RefreshAction::keep:
            return;
        case RefreshAction::detach:
            detach_if_attached(tap);
            return;
        case RefreshAction::attach:
            detach_if_attached(tap);
            attach_frontend_output(tap, *config, target, streaming_active);
            return;
    }
}

bool install_obs_hook(HookInstall reconcile) {
    if (!hook_installed) {
        frontend_api().add_event_callback(frontend_event, nullptr);
        hook_installed = true;
        ryvo_log(LOG_INFO, "installed OBS frontend hook");
    }
    if (reconcile == HookInstall::now) {
        refresh_output_attachment();
    }
    return true;
}

void uninstall_obs_hook() {
    {
        PacketTap::Attachment tap = packet_tap().attachment();
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }
    if (hook_installed) {
        frontend_api().remove_event_callback(frontend_event, nullptr);
        hook_installed = false;
        ryvo_log(LOG_INFO, "removed OBS frontend hook");
    }
}

bool obs_hook_installed() {
    return hook_installed;
}

}  // namespace ryvoobs

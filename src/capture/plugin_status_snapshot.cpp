#include "capture/plugin_status_snapshot.h"

namespace ryvoobs {

void copy_config_fields(const PluginConfig& config, RyvoPluginStatusSnapshot* snapshot) {
    snapshot->enabled = config.enabled;
    snapshot->has_runtime_credentials = !config.stream_id.empty() && !config.api_key.empty();
    snapshot->has_pending_portal_link = config.auth_mode == AuthMode::portal &&
                                        !config.portal_link_session_id.empty() &&
                                        !config.portal_link_poll_token.empty();
    snapshot->auth_mode = static_cast<std::int32_t>(config.auth_mode);
    snapshot->stream_id = config.stream_id;
    snapshot->selected_stream_name = config.selected_stream_name;
    snapshot->linked_account_email = config.linked_account_email;
    snapshot->linked_account_name = config.linked_account_name;
    snapshot->portal_link_session_id = config.portal_link_session_id;
    snapshot->portal_link_verification_code = config.portal_link_verification_code;
    snapshot->portal_link_verification_url = config.portal_link_verification_url;
    snapshot->portal_link_expires_at = config.portal_link_expires_at;
    const std::vector<std::string> problems = config.validate();
    snapshot->config_problem = problems.empty() ? std::string() : problems.front();
}

std::string delivery_result_text(const DeliveryProgress& progress) {
    if (progress.phase == DeliveryPhase::finished) {
        return "delivered; end of broadcast posted";
    }
    std::string text =
        progress.undelivered.empty()
            ? std::string("not finished")
            : "sequences " + format_sequences(progress.undelivered) + " not delivered";
    if (!progress.reason.empty()) {
        text += ": " + progress.reason;
    }
    return text;
}

}  // namespace ryvoobs

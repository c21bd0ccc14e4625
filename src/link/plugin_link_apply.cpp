#include "link/plugin_link_apply.h"

namespace ryvoobs {

bool apply_completed_plugin_link(PluginConfig* config, const PollPluginLinkResponse& response) {
    if (config == nullptr || response.status != "completed" ||
        response.selected_stream_id.empty() || response.api_key.empty() ||
        response.api_key_id.empty()) {
        return false;
    }
    config->auth_mode = AuthMode::portal;
    config->stream_id = response.selected_stream_id;
    config->selected_stream_name = response.selected_stream_name;
    config->linked_account_email = response.linked_account_email;
    config->linked_account_name = response.linked_account_name;
    config->api_key = response.api_key;
    config->api_key_id = response.api_key_id;
    config->api_endpoint = default_api_endpoint();
    config->runtime_mode = RuntimeMode::full;
    config->portal_link_session_id.clear();
    config->portal_link_verification_code.clear();
    config->portal_link_verification_url.clear();
    config->portal_link_poll_token.clear();
    config->portal_link_expires_at.clear();
    return true;
}

}  // namespace ryvoobs

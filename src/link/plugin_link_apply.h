#pragma once

#include "config/plugin_config.h"
#include "link/plugin_link_client.h"

namespace ryvoobs {

// Takes a completed link into `config`: portal mode, the chosen stream, the account and the new
// API key, the default endpoint (never one the answer names: a portal answer must not redirect
// where the key is sent), full runtime mode, and no pending link. False, with `config`
// untouched, when `config` is null, the status is not exactly "completed", or the stream ID, the
// API key or its ID is missing. Does not save.
bool apply_completed_plugin_link(PluginConfig* config, const PollPluginLinkResponse& response);

}  // namespace ryvoobs

#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"
#include "send_options.h"

namespace ryvoobs {

// The configuration a send delivers with: the user's file (the plug-in's own unless --config names
// another) amended by the command line's flags. Checked like the plug-in checks it, and a stream
// and a key are also required. On failure `error` gets the reader's or validator's message.
std::optional<PluginConfig> prepare_sender_config(const SendOptions& options, std::string* error);

}  // namespace ryvoobs

#pragma once

#include <obs.h>

#include <string>

#include "capture/tap_source.h"
#include "config/plugin_config.h"

namespace ryvoobs {

// Attaches the packet tap to `output`, whose reference the call takes over (released on refusal,
// otherwise at detach), and starts the delivery the configuration file asks for. False, with the
// user-facing reason in `error` (may be null), leaves the tap detached. Expects the attachment
// lock held.
bool attach_stream_output_locked(obs_output_t* output, CaptureMode capture_mode,
                                 std::string output_kind, TapSource source, std::string* error);

// Stops the delivery and lets go of the output; `end_broadcast` also tells the service that the
// broadcast has ended. Safe when nothing is attached. Expects the attachment lock held.
void detach_stream_output_locked(bool end_broadcast);

// The plug-in's own streaming output starting and stopping. Both take the attachment lock.
bool activate_native_stream_output(obs_output_t* output, std::string* error);
void deactivate_native_stream_output(obs_output_t* output);

// The user-facing reason the last attach was refused, until one succeeds. Expects the attachment
// lock held.
const std::string& attach_refusal_locked();

bool is_ryvo_native_output(const obs_output_t* output);

}  // namespace ryvoobs

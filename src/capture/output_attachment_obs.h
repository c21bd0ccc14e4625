#pragma once

#include <obs.h>
#include <obs.hpp>

#include <string>

#include "capture/packet_tap_obs.h"
#include "capture/tap_source.h"
#include "config/plugin_config.h"

namespace ryvoobs {

// Attaches the packet tap to `output`, whose reference the call takes over (released on refusal,
// otherwise at detach), and starts the delivery the configuration file asks for. False, with the
// user-facing reason in `error` (may be null), leaves the tap detached.
bool attach_stream_output(PacketTap::Attachment& tap, OBSOutputAutoRelease output,
                          CaptureMode capture_mode, std::string output_kind, TapSource source,
                          std::string* error);

// Lets go of the output and hands its broadcast over to finish in the background: what was
// queued is muxed, the last segment cut, the rest delivered and the end posted on the delivery's
// own threads. Returns at once; safe when nothing is attached.
// `end` is post when the broadcast is over (its output stopped), keep_open when the tap only lets
// go of it (it moves to another output, OBS exits, the plug-in unloads).
void detach_stream_output(PacketTap::Attachment& tap, BroadcastEnd end);

// The plug-in's own streaming output starting and stopping. Both take the attachment lock.
bool activate_native_stream_output(obs_output_t* output, std::string* error);
void deactivate_native_stream_output(obs_output_t* output);

// The user-facing reason the last attach was refused, until one succeeds. Expects the attachment
// lock held.
const std::string& attach_refusal_locked();

bool is_ryvo_native_output(const obs_output_t* output);

}  // namespace ryvoobs

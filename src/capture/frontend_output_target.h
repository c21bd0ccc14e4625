#pragma once

#include <cstdint>
#include <string_view>

#include "capture/tap_source.h"
#include "config/plugin_config.h"

namespace ryvoobs {

enum class FrontendOutputTarget : std::int32_t { none = 0, streaming = 1, recording = 2 };

// "none", "streaming" or "recording": also the output kind recorded for an attachment.
const char* to_string(FrontendOutputTarget target);

// Which of OBS's own outputs the configured capture mode asks for; `either` prefers recording.
FrontendOutputTarget choose_frontend_target(CaptureMode mode, bool recording_active,
                                            bool streaming_active);

// What the tap is attached to at the moment of a decision.
struct AttachmentView {
    TapSource source = TapSource::none;
    CaptureMode capture_mode = CaptureMode::streaming;
    std::string_view output_kind;
};

enum class RefreshAction {
    stand_aside,  // the plug-in's own output owns the tap
    detach,       // nothing to tap: let go of whatever is attached
    keep,         // already attached as the configuration asks
    attach,       // (re)attach to the target, letting go of anything else first
};

RefreshAction decide_refresh(const AttachmentView& attached, CaptureMode configured,
                             FrontendOutputTarget target);

// Whether OBS stopping `stopped` ends the broadcast of the attachment. A broadcast ends when its
// output stops, unless `either` can carry it on with the other output, which is still active.
bool stop_ends_broadcast(const AttachmentView& attached, FrontendOutputTarget stopped,
                         bool other_output_active);

}  // namespace ryvoobs

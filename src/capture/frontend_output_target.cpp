#include "capture/frontend_output_target.h"

namespace ryvoobs {

const char* to_string(FrontendOutputTarget target) {
    switch (target) {
        case FrontendOutputTarget::streaming:
            return "streaming";
        case FrontendOutputTarget::recording:
            return "recording";
        case FrontendOutputTarget::none:
            break;
    }
    return "none";
}

FrontendOutputTarget choose_frontend_target(CaptureMode mode, bool recording_active,
                                            bool streaming_active) {
    switch (mode) {
        case CaptureMode::streaming:
            return streaming_active ? FrontendOutputTarget::streaming : FrontendOutputTarget::none;
        case CaptureMode::recording:
            return recording_active ? FrontendOutputTarget::recording : FrontendOutputTarget::none;
        case CaptureMode::either:
            if (recording_active) {
                return FrontendOutputTarget::recording;
            }
            return streaming_active ? FrontendOutputTarget::streaming : FrontendOutputTarget::none;
    }
    return FrontendOutputTarget::none;
}

RefreshAction decide_refresh(const AttachmentView& attached, CaptureMode configured,
                             FrontendOutputTarget target) {
    if (attached.source == TapSource::native_output) {
        return RefreshAction::stand_aside;
    }
    if (target == FrontendOutputTarget::none) {
        return RefreshAction::detach;
    }
    if (attached.source != TapSource::none && attached.capture_mode == configured &&
        attached.output_kind == to_string(target)) {
        return RefreshAction::keep;
    }
    return RefreshAction::attach;
}

bool stop_ends_broadcast(const AttachmentView& attached, FrontendOutputTarget stopped,
                         bool other_output_active) {
    if (attached.source != TapSource::frontend_callback ||
        attached.output_kind != to_string(stopped)) {
        return false;
    }
    return !(attached.capture_mode == CaptureMode::either && other_output_active);
}

}  // namespace ryvoobs

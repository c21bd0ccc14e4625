#include "capture/frontend_output_target.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

using Target = FrontendOutputTarget;

TEST(FrontendOutputTarget, CaptureModeChoosesAmongTheActiveOutputs) {
    struct Case {
        CaptureMode mode;
        bool recording;
        bool streaming;
        Target expected;
    };
    const Case cases[] = {
        {CaptureMode::streaming, true, true, Target::streaming},
        {CaptureMode::streaming, true, false, Target::none},
        {CaptureMode::recording, true, true, Target::recording},
        {CaptureMode::recording, false, true, Target::none},
        {CaptureMode::either, true, true, Target::recording},
        {CaptureMode::either, false, true, Target::streaming},
        {CaptureMode::either, false, false, Target::none},
        {static_cast<CaptureMode>(7), true, true, Target::none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_frontend_target(c.mode, c.recording, c.streaming), c.expected)
            << to_string(c.mode) << " recording=" << c.recording << " streaming=" << c.streaming;
    }
}

TEST(FrontendOutputTarget, RefreshKeepsMatchingAttachmentAndLeavesTheNativeOutputAlone) {
    const AttachmentView detached{};
    const AttachmentView on_streaming{TapSource::frontend_callback, CaptureMode::streaming,
                                      "streaming"};
    const AttachmentView native{TapSource::native_output, CaptureMode::streaming, "ryvo_stream"};

    EXPECT_EQ(decide_refresh(detached, CaptureMode::streaming, Target::streaming),
              RefreshAction::attach);
    EXPECT_EQ(decide_refresh(detached, CaptureMode::streaming, Target::none),
              RefreshAction::detach);
    EXPECT_EQ(decide_refresh(on_streaming, CaptureMode::streaming, Target::streaming),
              RefreshAction::keep);
    // A changed capture mode re-attaches, even to the same output.
    EXPECT_EQ(decide_refresh(on_streaming, CaptureMode::either, Target::streaming),
              RefreshAction::attach);
    EXPECT_EQ(decide_refresh(on_streaming, CaptureMode::either, Target::recording),
              RefreshAction::attach);
    EXPECT_EQ(decide_refresh(on_streaming, CaptureMode::streaming, Target::none),
              RefreshAction::detach);
    for (const Target target : {Target::none, Target::streaming, Target::recording}) {
        EXPECT_EQ(decide_refresh(native, CaptureMode::either, target), RefreshAction::stand_aside);
    }
}

TEST(FrontendOutputTarget, StopEndsTheBroadcastUnlessEitherModeCanCarryOn) {
    const AttachmentView recording_either{TapSource::frontend_callback, CaptureMode::either,
                                          "recording"};
    const AttachmentView streaming_only{TapSource::frontend_callback, CaptureMode::streaming,
                                        "streaming"};
    const AttachmentView native{TapSource::native_output, CaptureMode::streaming, "ryvo_stream"};

    EXPECT_FALSE(stop_ends_broadcast(recording_either, Target::recording, true));
    EXPECT_TRUE(stop_ends_broadcast(recording_either, Target::recording, false));
    // Not the tapped output: the broadcast goes on.
    EXPECT_FALSE(stop_ends_broadcast(recording_either, Target::streaming, false));
    EXPECT_TRUE(stop_ends_broadcast(streaming_only, Target::streaming, true));
    EXPECT_FALSE(stop_ends_broadcast(native, Target::streaming, false));
    EXPECT_FALSE(stop_ends_broadcast(AttachmentView{}, Target::streaming, false));
}

}  // namespace
}  // namespace ryvoobs

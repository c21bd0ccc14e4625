#include <gtest/gtest.h>

#include "capture/frontend_output_target.h"
#include "capture/native_stream_rules.h"
#include "capture/service_backup_rules.h"

namespace ryvoobs {
namespace {

using Target = FrontendOutputTarget;

TEST(FrontendOutputTarget, CaptureModeChoosesAmongTheActiveOutputs) {
    const struct {
        CaptureMode mode;
        bool recording;
        bool streaming;
        Target expected;
    } cases[] = {
        {CaptureMode::streaming, true, true, Target::streaming},
        {CaptureMode::streaming, true, false, Target::none},
        {CaptureMode::recording, true, true, Target::recording},
        {CaptureMode::recording, false, true, Target::none},
        {CaptureMode::either, true, true, Target::recording},
        {CaptureMode::either, false, true, Target::streaming},
        {CaptureMode::either, false, false, Target::none},
        {static_cast<CaptureMode>(7), true, true, Target::none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choose_frontend_target(c.mode, c.recording, c.streaming), c.expected)
            << to_string(c.mode) << " recording=" << c.recording << " streaming=" << c.streaming;
    }
}

TEST(FrontendOutputTarget, RefreshAndStopLeaveTheNativeOutputAlone) {
    const AttachmentView detached{};
    const AttachmentView streaming{TapSource::frontend_callback, CaptureMode::streaming,
                                   "streaming"};
    const AttachmentView either{TapSource::frontend_callback, CaptureMode::either, "recording"};
    const AttachmentView native{TapSource::native_output, CaptureMode::streaming, "ryvo_stream"};
    EXPECT_EQ(decide_refresh(detached, CaptureMode::streaming, Target::streaming),
              RefreshAction::attach);
    EXPECT_EQ(decide_refresh(streaming, CaptureMode::streaming, Target::streaming),
              RefreshAction::keep);
    // A changed capture mode re-attaches, even to the same output.
    EXPECT_EQ(decide_refresh(streaming, CaptureMode::either, Target::streaming),
              RefreshAction::attach);
    EXPECT_EQ(decide_refresh(streaming, CaptureMode::streaming, Target::none),
              RefreshAction::detach);
    for (const Target target : {Target::none, Target::streaming, Target::recording}) {
        EXPECT_EQ(decide_refresh(native, CaptureMode::either, target), RefreshAction::stand_aside);
    }

    // A stop ends the broadcast only for the tapped output, unless either mode can carry on.
    EXPECT_FALSE(stop_ends_broadcast(either, Target::recording, true));
    EXPECT_TRUE(stop_ends_broadcast(either, Target::recording, false));
    EXPECT_FALSE(stop_ends_broadcast(either, Target::streaming, false));
    EXPECT_TRUE(stop_ends_broadcast(streaming, Target::streaming, true));
    EXPECT_FALSE(stop_ends_broadcast(native, Target::streaming, false));
    EXPECT_FALSE(stop_ends_broadcast(detached, Target::streaming, false));
}

PluginConfig linked(AuthMode mode) {
    PluginConfig config;
    config.auth_mode = mode;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    return config;
}

TEST(NativeStreamRules, StartNamesTheFirstObstacleAndOnlyH264WithAacPasses) {
    PluginConfig off = linked(AuthMode::manual);
    off.enabled = false;
    off.api_key.clear();
    PluginConfig portal = linked(AuthMode::portal);
    portal.stream_id.clear();
    PluginConfig manual = linked(AuthMode::manual);
    manual.api_key.clear();
    const struct {
        std::optional<PluginConfig> config;
        const char* load_error;
        std::optional<std::string> refusal;
    } cases[] = {
        {std::nullopt, "", "Ryvo config could not be loaded."},
        {std::nullopt, "config file not found: /x", "config file not found: /x"},
        {off, "", "Ryvo is turned off. Turn Ryvo on in the Ryvo status dock before streaming."},
        {portal, "", "Finish linking this OBS install in Ryvo Portal before starting the stream."},
        {manual, "", "Ryvo needs a linked stream before OBS can start streaming."},
        {linked(AuthMode::portal), "stale", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(native_stream_start_refusal(c.config, c.load_error), c.refusal);
    }

    // In the case OBS's encoders name their codecs.
    EXPECT_TRUE(native_stream_codecs_supported("h264", "AAC"));
    EXPECT_FALSE(native_stream_codecs_supported("hevc", "aac"));
    EXPECT_FALSE(native_stream_codecs_supported("h264", "opus"));
    EXPECT_FALSE(native_stream_codecs_supported("h264", nullptr));
    EXPECT_FALSE(native_stream_codecs_supported(nullptr, "aac"));
}

PluginConfig backed_up(const std::string& profile) {
    PluginConfig config;
    apply_service_backup({"rtmp_custom", profile, R"({"server":"rtmp://a"})", ""}, &config);
    return config;
}

TEST(ServiceBackupRules, OnlyABackupOfTheCurrentProfileIsRecreated) {
    PluginConfig without_id = backed_up("A");
    without_id.previous_service_id.clear();
    const struct {
        std::optional<PluginConfig> config;
        const char* load_error;
        const char* profile;
        const char* refusal;
    } cases[] = {
        {std::nullopt, "", "A", "Ryvo config is unavailable"},
        {std::nullopt, "config file not found: /x", "A", "config file not found: /x"},
        {backed_up(""), "", "A",
         "saved service predates profile-aware backups; select the intended OBS service once in "
         "this profile"},
        {backed_up("A"), "", "B",
         "saved service belongs to OBS profile 'A', not current profile 'B'"},
        {backed_up("A"), "", "",
         "saved service belongs to OBS profile 'A', not current profile 'unknown'"},
        {without_id, "", "A", "no previous OBS streaming service backup was saved"},
        {backed_up("A"), "", "A", ""},
    };
    for (const auto& c : cases) {
        const ServiceRestorePlan plan = plan_service_restore(c.config, c.load_error, c.profile);
        EXPECT_EQ(plan.refusal, c.refusal);
        EXPECT_EQ(plan.recreate, plan.refusal.empty()) << c.refusal;
    }
}

TEST(ServiceBackupRules, LegacyBackupBindsOnlyToTheSameServiceInANamedProfile) {
    PluginConfig legacy = backed_up("");
    legacy.previous_service_hotkeys_json = R"({"hk":1})";
    const ServiceBackupSnapshot same{"rtmp_custom", "A", R"({"server":"rtmp://a"})", R"({"hk":1})"};
    EXPECT_TRUE(legacy_backup_binds_to(legacy, same, false));

    for (std::string ServiceBackupSnapshot::*field :
         {&ServiceBackupSnapshot::id, &ServiceBackupSnapshot::profile,
          &ServiceBackupSnapshot::settings_json, &ServiceBackupSnapshot::hotkeys_json}) {
        ServiceBackupSnapshot current = same;
        current.*field = "";
        EXPECT_FALSE(legacy_backup_binds_to(legacy, current, false)) << current.id;
    }
    EXPECT_FALSE(legacy_backup_binds_to(legacy, same, true)) << "the current service is Ryvo's";
    EXPECT_FALSE(legacy_backup_binds_to(backed_up("A"), same, false)) << "already bound";
}

}  // namespace
}  // namespace ryvoobs

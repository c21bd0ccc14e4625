#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <obs.hpp>

#include <cstdint>
#include <string>

#include "capture/frontend_hook_obs.h"
#include "capture/native_stream_service_obs.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/streaming_service_backup_obs.h"
#include "config/config_file.h"
#include "dev_server_process.h"
#include "isolated_home.h"
#include "obs_test_support.h"
#include "tap_test_support.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using testing::CapturedLog;
using testing::eventually;
using testing::linked_config;
using testing::TestOutput;
using testing::write_config;

obs_output_t* attached_output() {
    return packet_tap().attachment().output();
}

bool packets_beyond(std::uint64_t count) {
    return eventually([count] { return packet_tap().counters().packets > count; });
}

// rtmp-services caches below the working directory and asks the internet for updates: a
// directory of this process, and a proxy that nothing listens on.
void load_rtmp_services() {
    static testing::TemporaryDirectory working_directory;
    for (const char* proxy : {"http_proxy", "https_proxy", "all_proxy"}) {
        setenv(proxy, "http://127.0.0.1:9", 1);
    }
    setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
    ASSERT_EQ(chdir(working_directory.path().c_str()), 0);
    testing::load_obs_module("rtmp-services");
}

PluginConfig config(bool enabled = true) {
    PluginConfig result = testing::linked_config(RuntimeMode::full, CaptureMode::streaming);
    result.enabled = enabled;
    return result;
}

PluginConfig saved_config() {
    std::string error;
    const std::optional<PluginConfig> saved = read_config_file(default_config_path(), &error);
    EXPECT_TRUE(saved) << error;
    return saved.value_or(PluginConfig{});
}

class CaptureObsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        load_rtmp_services();
        register_stream_service();
    }
    void SetUp() override {
        CapturedLog::instance().clear();
        frontend.profile = "A";
    }
    void TearDown() override {
        uninstall_obs_hook();
        PacketTap::Attachment tap = packet_tap().attachment();
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }

    void run(TestOutput& output, bool recording) {
        ASSERT_TRUE(output.start());
        (recording ? frontend.recording : frontend.streaming) = output.get();
        (recording ? frontend.recording_on : frontend.streaming_on) = true;
    }

    // Makes a service OBS's active one, as the user or the plug-in selects it.
    void select_service(const char* id, const char* settings_json = "{}") {
        OBSDataAutoRelease settings = obs_data_create_from_json(settings_json);
        OBSServiceAutoRelease service =
            obs_service_create(id, "default_service", settings, nullptr);
        ASSERT_NE(service, nullptr);
        frontend.set_streaming_service(service);
    }

    testing::IsolatedHome home;
    testing::FakeFrontend frontend;
    testing::TestEncoders encoders;
};

TEST_F(CaptureObsTest, EitherModeMovesBetweenOutputsAndDeliversUntilTheLastOneStops) {
    test_support::DevServerProcess server;
    write_config(linked_config(RuntimeMode::full, CaptureMode::either, server.base_url()));
    TestOutput streaming("stream", home.file("stream.mkv"), encoders);
    TestOutput recording("record", home.file("record.mkv"), encoders);
    run(streaming, false);
    run(recording, true);
    ASSERT_TRUE(install_obs_hook());
    EXPECT_EQ(attached_output(), recording.get());
    ASSERT_TRUE(packets_beyond(30));

    // Recording stops while streaming goes on: the tap moves, the broadcast does not end.
    recording.stop();
    frontend.recording_on = false;
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STOPPED);
    EXPECT_EQ(attached_output(), streaming.get());
    ASSERT_TRUE(packets_beyond(90));
    ASSERT_TRUE(eventually([&] {
        return server.report()["streams"]["stream-1"]["agents"]["primary"]["segments"] >= 2;
    }));

    streaming.stop();
    frontend.streaming_on = false;
    frontend.fire(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    EXPECT_EQ(attached_output(), nullptr);
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
    ASSERT_TRUE(eventually(
        [] { return CapturedLog::instance().count("[ryvo-obs] finishing complete: ") == 2; }));
    const nlohmann::json stream = server.report()["streams"]["stream-1"];
    EXPECT_EQ(stream["agents"]["primary"]["ends"], 1);
    EXPECT_EQ(stream["sessions"].size(), 2u);
    for (const auto& [id, session] : stream["sessions"].items()) {
        EXPECT_EQ(session["gaps"].size(), 0u) << id;
    }
}

TEST_F(CaptureObsTest, FrontendRoadStandsAsideForThePluginsOwnOutput) {
    PluginConfig config = linked_config(RuntimeMode::tap_only, CaptureMode::either);
    write_config(config);
    TestOutput native("native", home.file("native.mkv"), encoders, "ryvo_output");
    TestOutput recording("record", home.file("record.mkv"), encoders);
    frontend.streaming = native.get();
    frontend.streaming_on = true;
    ASSERT_TRUE(install_obs_hook());
    EXPECT_EQ(attached_output(), nullptr);

    run(recording, true);
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    ASSERT_EQ(attached_output(), recording.get());
    ASSERT_TRUE(packets_beyond(0));
    // Turned off, the tap lets go of the output without stopping it.
    config.enabled = false;
    write_config(config);
    refresh_output_attachment();
    EXPECT_EQ(attached_output(), nullptr);
    EXPECT_TRUE(obs_output_active(recording.get()));
    config.enabled = true;
    write_config(config);

    std::string error;
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error)) << error;
    const std::uint64_t token = packet_tap().attachment().token();
    EXPECT_EQ(packet_tap().attachment().output_kind(), "ryvo_stream");
    EXPECT_TRUE(obs_output_active(recording.get()));
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error));
    EXPECT_EQ(packet_tap().attachment().token(), token);
    for (obs_output_t* from : {native.get(), recording.get()}) {
        testing::ObsPacket packet(OBS_ENCODER_VIDEO, 64, 0, true);
        packet_tap().take_native_packet(from, packet.get());
        EXPECT_EQ(packet.references(), 1);
    }
    EXPECT_EQ(packet_tap().counters().packets, 1u);

    deactivate_native_stream_output(recording.get());
    EXPECT_EQ(attached_output(), native.get());
    deactivate_native_stream_output(native.get());
    EXPECT_EQ(attached_output(), nullptr);
    recording.stop();
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
}

// A stopping output frees the shared encoders before OBS tells the frontend on its UI thread.
TEST_F(CaptureObsTest, TheEncodersNeverWaitForAnEventAndExitDetaches) {
    write_config(linked_config(RuntimeMode::tap_only, CaptureMode::recording));
    TestOutput recording("record", home.file("record.mkv"), encoders);
    run(recording, true);
    ASSERT_TRUE(install_obs_hook());
    ASSERT_TRUE(frontend.hooked());
    ASSERT_EQ(attached_output(), recording.get());
    ASSERT_TRUE(packets_beyond(0));

    recording.stop();
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
    EXPECT_EQ(attached_output(), recording.get());
    frontend.fire(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_EQ(attached_output(), nullptr);
    uninstall_obs_hook();
    EXPECT_FALSE(frontend.hooked());
    EXPECT_FALSE(obs_hook_installed());
}

TEST_F(CaptureObsTest, StartWithoutAacIsRefusedWithAReasonAndLeavesTheTapDetached) {
    write_config(config());
    TestOutput output("ryvo out", home.file("out.ts"), encoders, kRyvoStreamOutputId);
    OBSServiceAutoRelease service =
        obs_service_create(kRyvoStreamServiceId, "ryvo", nullptr, nullptr);
    obs_output_set_service(output.get(), service);
    OBSEncoderAutoRelease opus =
        obs_audio_encoder_create("ffmpeg_opus", "opus", nullptr, 0, nullptr);
    obs_encoder_set_audio(opus, obs_get_audio());
    obs_output_set_audio_encoder(output.get(), opus, 0);
    EXPECT_FALSE(output.start());
    EXPECT_STREQ(obs_output_get_last_error(output.get()),
                 "Ryvo requires H.264 video and AAC audio. Update OBS encoder settings before "
                 "streaming.");
    EXPECT_FALSE(packet_tap().attachment().attached());
    EXPECT_FALSE(encoders.active());
}

TEST_F(CaptureObsTest, UserServiceIsSelectedAwayOnceAndGivenBackOnEveryUnload) {
    write_config(config());
    select_service("rtmp_custom", R"({"server": "rtmp://127.0.0.1/live", "key": "user-key"})");
    capture_initial_service_backup();
    const PluginConfig backup = saved_config();
    for (int load = 0; load < 2; ++load) {
        ensure_streaming_service_selected();
        ensure_streaming_service_selected();
        EXPECT_STREQ(obs_service_get_key(frontend.streaming_service()), "stream-1");
        restore_previous_streaming_service();
        EXPECT_STREQ(obs_service_get_key(frontend.streaming_service()), "user-key");
    }
    EXPECT_EQ(CapturedLog::instance().count("selected Ryvo as the active OBS streaming service"),
              2u);
    EXPECT_EQ(saved_config(), backup);
}

TEST_F(CaptureObsTest, ABackupThatCannotBeRecreatedLeavesTheRyvoServiceActive) {
    select_service(kRyvoStreamServiceId);
    PluginConfig off = config(false);
    off.previous_service_id = "service_type_that_is_gone";
    off.previous_service_profile = "A";
    write_config(off);
    ensure_streaming_service_selected();
    EXPECT_TRUE(active_streaming_service_is_ryvo());
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] OBS is still configured to use Ryvo as the active streaming service, "
                  "but Ryvo could not restore the previous service (previous OBS streaming "
                  "service backup could not be recreated)"),
              1u);
}

TEST_F(CaptureObsTest, NoBackupIsTakenOfTheRyvoServiceActiveAtLoad) {
    write_config(config(false));
    select_service(kRyvoStreamServiceId);
    capture_initial_service_backup();
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] OBS profile has Ryvo as the active service at load time; cannot "
                  "record an initial non-Ryvo backup. Toggle Ryvo off and pick a regular service "
                  "to seed the backup."),
              1u);
    EXPECT_EQ(saved_config(), config(false));
}

}  // namespace
}  // namespace ryvoobs

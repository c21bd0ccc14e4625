// The plug-in's streaming service and output, and the backup of the user's own service, in real
// libobs with OBS's RTMP services loaded and the OBS application stood in for.

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "capture/native_stream_service_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/streaming_service_backup_obs.h"
#include "capture_obs_config.h"
#include "config/config_file.h"
#include "isolated_home.h"
#include "obs_test_support.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using testing::CapturedLog;

// rtmp-services keeps a cache below the working directory and asks the internet for service
// updates: both are kept inside a directory of this process, and the updates are refused by a
// proxy that nothing listens on, which loopback requests bypass.
void load_rtmp_services() {
    static testing::TemporaryDirectory working_directory;
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    setenv("https_proxy", "http://127.0.0.1:9", 1);
    setenv("all_proxy", "http://127.0.0.1:9", 1);
    setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
    ASSERT_EQ(chdir(working_directory.path().c_str()), 0);
    obs_module_t* module = nullptr;
    ASSERT_EQ(obs_open_module(&module, "/usr/lib/x86_64-linux-gnu/obs-plugins/rtmp-services.so",
                              "/usr/share/obs/obs-plugins/rtmp-services"),
              MODULE_SUCCESS);
    ASSERT_TRUE(obs_init_module(module));
}

PluginConfig enabled_config(const std::string& endpoint = "http://127.0.0.1:9") {
    return testing::linked_config(RuntimeMode::full, CaptureMode::streaming, endpoint);
}

PluginConfig saved_config() {
    std::string error;
    const std::optional<PluginConfig> config = read_config_file(default_config_path(), &error);
    EXPECT_TRUE(config) << error;
    return config.value_or(PluginConfig{});
}

std::string setting(obs_service_t* service, const char* name) {
    obs_data_t* settings = obs_service_get_settings(service);
    std::string value = obs_data_get_string(settings, name);
    obs_data_release(settings);
    return value;
}

// How often the plug-in warned that it could not give the user's service back for `reason`.
std::size_t not_restored(const std::string& reason) {
    return CapturedLog::instance().count(
        "[ryvo-obs] OBS is still configured to use Ryvo as the active streaming service, but Ryvo "
        "could not restore the previous service (" +
            reason + ")",
        LOG_WARNING);
}

class StreamServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        load_rtmp_services();
        register_stream_service();
    }

    void SetUp() override {
        CapturedLog::instance().clear();
        frontend.profile = "A";
    }

    // Makes a custom RTMP service OBS's active one, as the user's own choice.
    void select_user_service(const char* server, const char* key) {
        obs_data_t* settings = obs_data_create();
        obs_data_set_string(settings, "server", server);
        obs_data_set_string(settings, "key", key);
        obs_service_t* service =
            obs_service_create("rtmp_custom", "default_service", settings, nullptr);
        obs_data_release(settings);
        ASSERT_NE(service, nullptr);
        frontend.set_streaming_service(service);
        obs_service_release(service);
    }

    obs_service_t* create_ryvo_service() {
        return obs_service_create(kRyvoStreamServiceId, "ryvo", nullptr, nullptr);
    }

    void select_ryvo_service() {
        obs_service_t* ryvo = create_ryvo_service();
        frontend.set_streaming_service(ryvo);
        obs_service_release(ryvo);
    }

    testing::IsolatedHome home;
    testing::FakeFrontend frontend;
};

TEST_F(StreamServiceTest,
       ServiceFollowsTheConfigurationAndForcesEncoderSettingsOnlyWhenItMayStart) {
    register_stream_service();
    EXPECT_EQ(CapturedLog::instance().count("already exists"), 0u);

    PluginConfig config = enabled_config("http://127.0.0.1:8123");
    testing::write_config(config);
    obs_service_t* service = create_ryvo_service();
    ASSERT_NE(service, nullptr);
    EXPECT_STREQ(obs_service_get_output_type(service), kRyvoStreamOutputId);
    EXPECT_STREQ(obs_service_get_url(service), "http://127.0.0.1:8123");
    EXPECT_STREQ(obs_service_get_key(service), "stream-1");
    // OBS's stored settings of the service may name the stream themselves.
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "stream_id", "stream-from-settings");
    obs_service_update(service, settings);
    obs_data_release(settings);
    EXPECT_STREQ(obs_service_get_key(service), "stream-from-settings");

    obs_data_t* video = obs_data_create();
    obs_data_set_int(video, "keyint_sec", 5);
    obs_data_set_string(video, "rate_control", "VBR");
    for (const bool enabled : {false, true}) {
        config.enabled = enabled;
        testing::write_config(config);
        obs_service_apply_encoder_settings(service, video, nullptr);
        EXPECT_EQ(obs_data_get_int(video, "keyint_sec"), enabled ? 2 : 5);
        EXPECT_STREQ(obs_data_get_string(video, "rate_control"), enabled ? "CBR" : "VBR");
    }
    obs_data_release(video);
    obs_service_release(service);
}

TEST_F(StreamServiceTest, StartIsRefusedWithAReasonAndLeavesTheTapDetached) {
    testing::TestEncoders encoders;
    testing::TestOutput output("ryvo out", home.file("out.ts"), encoders, kRyvoStreamOutputId);
    obs_service_t* service = create_ryvo_service();
    obs_output_set_service(output.get(), service);

    PluginConfig config = enabled_config();
    config.enabled = false;
    testing::write_config(config);
    EXPECT_FALSE(output.start());
    EXPECT_STREQ(obs_output_get_last_error(output.get()),
                 "Ryvo is turned off. Turn Ryvo on in the Ryvo status dock before streaming.");

    testing::write_config(enabled_config());
    obs_encoder_t* opus = obs_audio_encoder_create("ffmpeg_opus", "opus", nullptr, 0, nullptr);
    obs_encoder_set_audio(opus, obs_get_audio());
    obs_output_set_audio_encoder(output.get(), opus, 0);
    obs_encoder_release(opus);
    EXPECT_FALSE(output.start());
    EXPECT_STREQ(obs_output_get_last_error(output.get()),
                 "Ryvo requires H.264 video and AAC audio. Update OBS encoder settings before "
                 "streaming.");
    EXPECT_FALSE(obs_output_active(output.get()));
    EXPECT_FALSE(packet_tap().attachment().attached());
    EXPECT_FALSE(encoders.active());
    obs_service_release(service);
}

// Backed up and given back when turned off is checked in real OBS; here the repeated selection
// and the unload, after which the same backup serves again.
TEST_F(StreamServiceTest, UserServiceIsSelectedAwayOnceAndGivenBackOnEveryUnload) {
    testing::write_config(enabled_config());
    select_user_service("rtmp://127.0.0.1/live", "user-key");
    capture_initial_service_backup();
    const PluginConfig backup = saved_config();
    for (int load = 0; load < 2; ++load) {
        ensure_streaming_service_selected();
        ensure_streaming_service_selected();
        EXPECT_STREQ(obs_service_get_key(frontend.streaming_service()), "stream-1");
        restore_previous_streaming_service();
        EXPECT_STREQ(obs_service_get_id(frontend.streaming_service()), "rtmp_custom");
        EXPECT_EQ(setting(frontend.streaming_service(), "key"), "user-key");
    }
    EXPECT_EQ(CapturedLog::instance().count("selected Ryvo as the active OBS streaming service"),
              2u);
    // The initial backup already holds this very service: nothing more is written.
    EXPECT_EQ(CapturedLog::instance().count("backed up OBS streaming service"), 0u);
    EXPECT_EQ(saved_config(), backup);
}

// Turned off while the backup cannot be given back: the plug-in's service stays, with the reason.
TEST_F(StreamServiceTest, BackupsThatCannotBeGivenBackLeaveTheRyvoServiceActive) {
    const struct {
        const char* id;
        const char* profile;
        const char* current_profile;
        const char* reason;
    } cases[] = {
        {"rtmp_custom", "A", "B",
         "saved service belongs to OBS profile 'A', not current profile 'B'"},
        {"rtmp_custom", "", "A",
         "saved service predates profile-aware backups; select the intended OBS service once in "
         "this profile"},
        {"service_type_that_is_gone", "A", "A",
         "previous OBS streaming service backup could not be recreated"},
    };
    select_ryvo_service();
    for (const auto& c : cases) {
        PluginConfig config = enabled_config();
        config.enabled = false;
        config.previous_service_id = c.id;
        config.previous_service_profile = c.profile;
        testing::write_config(config);
        frontend.profile = c.current_profile;
        ensure_streaming_service_selected();
        EXPECT_TRUE(active_streaming_service_is_ryvo()) << c.reason;
        EXPECT_EQ(not_restored(c.reason), 1u);
    }
}

// A backup saved before backups named their profile is bound to the profile whose service is the
// one saved, as OBS writes its settings; never one taken while Ryvo's own service is active.
TEST_F(StreamServiceTest, BackupsAreBoundOnlyToTheSavedServiceAndNeverTakenOfRyvos) {
    select_user_service("rtmp://127.0.0.1/live", "user-key");
    obs_data_t* settings = obs_service_get_settings(frontend.streaming_service());
    PluginConfig legacy = enabled_config();
    legacy.enabled = false;
    legacy.previous_service_id = "rtmp_custom";
    legacy.previous_service_settings_json = obs_data_get_json(settings);
    obs_data_release(settings);
    testing::write_config(legacy);
    select_user_service("rtmp://127.0.0.1/other", "other-key");
    capture_initial_service_backup();
    EXPECT_EQ(saved_config(), legacy);
    select_user_service("rtmp://127.0.0.1/live", "user-key");
    capture_initial_service_backup();
    EXPECT_EQ(saved_config().previous_service_profile, "A");

    PluginConfig config = enabled_config();
    config.enabled = false;
    testing::write_config(config);
    select_ryvo_service();
    capture_initial_service_backup();
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] OBS profile has Ryvo as the active service at load time; cannot "
                  "record an initial non-Ryvo backup. Toggle Ryvo off and pick a regular service "
                  "to seed the backup.",
                  LOG_WARNING),
              1u);
    EXPECT_EQ(saved_config(), config);
}

}  // namespace
}  // namespace ryvoobs

// Real libobs started in the test process (under the wrapper's Xvfb) with a colour source on the
// program channel, every log line captured, and a stand-in for the OBS application's frontend.
#pragma once

#include <obs-module.h>
#include <obs.h>
#include <util/base.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/frontend_api.h"

namespace ryvoobs::testing {

// Every line libobs logs, kept for the assertions.
class CapturedLog {
  public:
    static CapturedLog& instance() {
        static CapturedLog log;
        return log;
    }
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::size_t count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline void capture_log_line(int, const char* format, va_list args, void*) {
    char line[4096];
    std::vsnprintf(line, sizeof line, format, args);
    if (std::string_view(line).starts_with("[ryvo-obs]")) {
        std::fprintf(stderr, "%s\n", line);
    }
    CapturedLog::instance().add(line);
}

// Polls `done` until it holds or `limit` passes; the tests wait for OBS's threads this way.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline void load_obs_module(const std::string& name) {
    const std::string binary = "/usr/lib/x86_64-linux-gnu/obs-plugins/" + name + ".so";
    const std::string data = "/usr/share/obs/obs-plugins/" + name;
    obs_module_t* module = nullptr;
    ASSERT_EQ(obs_open_module(&module, binary.c_str(), data.c_str()), MODULE_SUCCESS) << name;
    ASSERT_TRUE(obs_init_module(module)) << name;
}

class ObsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        base_set_log_handler(capture_log_line, nullptr);
        ASSERT_TRUE(obs_startup("en-US", nullptr, nullptr));
        obs_video_info video{};
        video.graphics_module = "libobs-opengl";
        video.fps_num = 30;
        video.fps_den = 1;
        video.base_width = video.output_width = 320;
        video.base_height = video.output_height = 240;
        video.output_format = VIDEO_FORMAT_NV12;
        video.gpu_conversion = true;
        ASSERT_EQ(obs_reset_video(&video), OBS_VIDEO_SUCCESS);
        obs_audio_info audio{48000, SPEAKERS_STEREO};
        ASSERT_TRUE(obs_reset_audio(&audio));
        for (const char* name : {"obs-x264", "obs-ffmpeg", "image-source"}) {
            load_obs_module(name);
        }
        obs_post_load_modules();
        color_ = obs_source_create("color_source_v3", "test colour", nullptr, nullptr);
        ASSERT_NE(color_, nullptr);
        obs_set_output_source(0, color_);
    }

    void TearDown() override {
        obs_set_output_source(0, nullptr);
        obs_source_release(color_);
        obs_shutdown();
    }

  private:
    obs_source_t* color_ = nullptr;
};

inline ::testing::Environment* const obs_environment =
    ::testing::AddGlobalTestEnvironment(new ObsEnvironment);

// An H.264/AAC pair of encoders on OBS's video and audio, keyframes every second.
struct TestEncoders {
    TestEncoders() {
        obs_data_t* settings = obs_data_create_from_json(
            R"({"keyint_sec": 1, "preset": "ultrafast", "bitrate": 500})");
        video = obs_video_encoder_create("obs_x264", "test video", settings, nullptr);
        obs_data_release(settings);
        audio = obs_audio_encoder_create("ffmpeg_aac", "test audio", nullptr, 0, nullptr);
        obs_encoder_set_video(video, obs_get_video());
        obs_encoder_set_audio(audio, obs_get_audio());
    }
    ~TestEncoders() {
        obs_encoder_release(video);
        obs_encoder_release(audio);
    }

    bool active() const { return obs_encoder_active(video) || obs_encoder_active(audio); }

    obs_encoder_t* video = nullptr;
    obs_encoder_t* audio = nullptr;
};

// An output of type `id` writing to `path`, stopped and released at the end of its scope.
class TestOutput {
  public:
    TestOutput(const std::string& name, const std::string& path, const TestEncoders& encoders,
               const char* id = "ffmpeg_muxer") {
        obs_data_t* settings = obs_data_create();
        obs_data_set_string(settings, "path", path.c_str());
        output_ = obs_output_create(id, name.c_str(), settings, nullptr);
        obs_data_release(settings);
        obs_output_set_video_encoder(output_, encoders.video);
        obs_output_set_audio_encoder(output_, encoders.audio, 0);
    }
    ~TestOutput() {
        stop();
        obs_output_release(output_);
    }

    bool start() { return obs_output_start(output_); }
    void stop() {
        obs_output_stop(output_);
        eventually([this] { return !obs_output_active(output_); });
    }
    obs_output_t* get() const { return output_; }

  private:
    obs_output_t* output_ = nullptr;
};

// The OBS application as the hook sees it: its outputs, events, streaming service and profile.
class FakeFrontend : public FrontendApi {
  public:
    FakeFrontend() { set_frontend_api(this); }
    ~FakeFrontend() override {
        set_frontend_api(nullptr);
        obs_service_release(service_);
    }

    void add_event_callback(obs_frontend_event_cb callback, void* data) override {
        callback_ = callback;
        callback_data_ = data;
    }
    void remove_event_callback(obs_frontend_event_cb callback, void* data) override {
        if (callback == callback_ && data == callback_data_) {
            callback_ = nullptr;
        }
    }
    bool streaming_active() override { return streaming != nullptr && streaming_on; }
    bool recording_active() override { return recording != nullptr && recording_on; }
    obs_output_t* streaming_output() override { return obs_output_get_ref(streaming); }
    obs_output_t* recording_output() override { return obs_output_get_ref(recording); }
    obs_service_t* streaming_service() override { return service_; }
    void set_streaming_service(obs_service_t* service) override {
        if (service != nullptr) {
            obs_service_t* previous = service_;
            service_ = obs_service_get_ref(service);
            obs_service_release(previous);
        }
    }
    std::string current_profile_name() override { return profile; }
    void ensure_streaming_service_selected() override {}
    void capture_initial_service_backup() override {}
    bool active_streaming_service_is_ryvo() override { return false; }

    bool hooked() const { return callback_ != nullptr; }
    void fire(obs_frontend_event event) {
        ASSERT_NE(callback_, nullptr);
        callback_(event, callback_data_);
    }

    obs_output_t* streaming = nullptr;
    obs_output_t* recording = nullptr;
    bool streaming_on = false;
    bool recording_on = false;
    std::string profile = "Untitled";

  private:
    // OBS's active streaming service, one reference held as the application holds it.
    obs_service_t* service_ = nullptr;
    obs_frontend_event_cb callback_ = nullptr;
    void* callback_data_ = nullptr;
};

}  // namespace ryvoobs::testing

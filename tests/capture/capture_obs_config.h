// The configuration file the tap and the hook read, written at the default path of an isolated
// home directory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config/config_file.h"
#include "config/plugin_config.h"

namespace ryvoobs::testing {

inline PluginConfig linked_config(RuntimeMode runtime_mode, CaptureMode capture_mode,
                                  const std::string& endpoint = "http://127.0.0.1:9") {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.api_endpoint = endpoint;
    config.runtime_mode = runtime_mode;
    config.capture_mode = capture_mode;
    config.segment_duration_ms = 1000;
    config.ram_buffer_minutes = 1;
    return config;
}

inline void write_config(const PluginConfig& config) {
    std::string error;
    ASSERT_TRUE(save_config_file(default_config_path(), config, &error)) << error;
}

}  // namespace ryvoobs::testing

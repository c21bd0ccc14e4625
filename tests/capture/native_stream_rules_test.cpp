#include "capture/native_stream_rules.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

PluginConfig linked(AuthMode mode) {
    PluginConfig config;
    config.auth_mode = mode;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    return config;
}

TEST(NativeStreamStartRefusal, NamesTheFirstThingThatKeepsTheStreamFromStarting) {
    EXPECT_EQ(native_stream_start_refusal(std::nullopt, ""), "Ryvo config could not be loaded.");
    EXPECT_EQ(native_stream_start_refusal(std::nullopt, "config file not found: /x"),
              "config file not found: /x");

    PluginConfig off = linked(AuthMode::manual);
    off.enabled = false;
    off.api_key.clear();
    EXPECT_EQ(native_stream_start_refusal(off, ""),
              "Ryvo is turned off. Turn Ryvo on in the Ryvo status dock before streaming.");

    PluginConfig portal = linked(AuthMode::portal);
    portal.stream_id.clear();
    EXPECT_EQ(native_stream_start_refusal(portal, ""),
              "Finish linking this OBS install in Ryvo Portal before starting the stream.");
    PluginConfig manual = linked(AuthMode::manual);
    manual.api_key.clear();
    EXPECT_EQ(native_stream_start_refusal(manual, ""),
              "Ryvo needs a linked stream before OBS can start streaming.");

    EXPECT_EQ(native_stream_start_refusal(linked(AuthMode::portal), "stale"), std::nullopt);
}

TEST(NativeStreamCodecs, OnlyH264WithAacPassesInTheCaseOBSEncodersUse) {
    EXPECT_TRUE(native_stream_codecs_supported("h264", "aac"));
    EXPECT_TRUE(native_stream_codecs_supported("h264", "AAC"));
    EXPECT_FALSE(native_stream_codecs_supported("hevc", "aac"));
    EXPECT_FALSE(native_stream_codecs_supported("h264", "opus"));
    EXPECT_FALSE(native_stream_codecs_supported("h264", nullptr));
    EXPECT_FALSE(native_stream_codecs_supported(nullptr, "aac"));
}

}  // namespace
}  // namespace ryvoobs

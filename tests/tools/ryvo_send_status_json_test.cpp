#include <gtest/gtest.h>

#include "progress_display.h"

namespace ryvoobs {
namespace {

TEST(StatusJsonTest, CarriesTheSessionStatusOnOneLineWhateverTheErrorSays) {
    ProgressFigures figures;
    figures.segments = 18446744073709551615ULL;
    figures.uploaded = 18446744073709551615ULL;
    figures.queue_depth = 18446744073709551615ULL;
    figures.cache_bytes = 18446744073709551615ULL;
    figures.cache_max_bytes = 18446744073709551615ULL;
    figures.bytes_muxed = 18446744073709551615ULL;
    figures.media_seconds = 12.5;
    figures.connected = false;
    figures.status_error = "server said \"no\"\\\n\tnow";
    // The side traffic's error is not the session's and stays out.
    figures.last_error = "heartbeat failed";
    const std::string max = "18446744073709551615";
    EXPECT_EQ(format_status_json(figures),
              "{\"segments\":" + max + ",\"uploaded\":" + max + ",\"queue\":" + max +
                  ",\"cache_bytes\":" + max + ",\"cache_max_bytes\":" + max +
                  ",\"bytes_muxed\":" + max +
                  ",\"media_seconds\":12.500,\"connected\":false,"
                  "\"last_error\":\"server said \\\"no\\\"\\\\\\u000a\\u0009now\"}");

    figures.connected = true;
    figures.status_error.clear();
    EXPECT_NE(format_status_json(figures).find("\"connected\":true,\"last_error\":\"\"}"),
              std::string::npos);
}

}  // namespace
}  // namespace ryvoobs

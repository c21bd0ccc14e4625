#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_time_repair.h"
#include "delivery_tally.h"
#include "progress_display.h"

namespace ryvoobs {
namespace {

TimedPacket packet(MediaKind kind, std::int64_t pts, std::int64_t dts) {
    TimedPacket timed;
    timed.packet.kind = kind;
    timed.packet.pts = pts;
    timed.packet.dts = dts;
    timed.duration = kind == MediaKind::video ? 3000 : 1920;
    return timed;
}

std::vector<TimedPacket> drain(DecodeTimeRepair& repair) {
    std::vector<TimedPacket> out;
    while (std::optional<TimedPacket> next = repair.pop()) {
        out.push_back(std::move(*next));
    }
    return out;
}

TEST(DecodeTimeRepairTest, LeadingFramesWithoutDecodeTimeAreCountedBackFromTheFirstKnownOne) {
    DecodeTimeRepair repair;
    // A stream with two B-frames as Matroska delivers it: presentation times only at first.
    repair.push(packet(MediaKind::video, 1890, 1890), false);
    repair.push(packet(MediaKind::audio, 0, 0), true);
    repair.push(packet(MediaKind::video, 13860, 13860), false);
    EXPECT_FALSE(repair.pop());
    repair.push(packet(MediaKind::video, 7920, 1890), true);

    // File order is kept; decode times rise one frame at a time up to the known one.
    std::vector<std::pair<MediaKind, std::int64_t>> order;
    for (const TimedPacket& out : drain(repair)) {
        order.emplace_back(out.packet.kind, out.packet.dts);
    }
    EXPECT_EQ(order, (std::vector<std::pair<MediaKind, std::int64_t>>{{MediaKind::video, -4110},
                                                                      {MediaKind::audio, 0},
                                                                      {MediaKind::video, -1110},
                                                                      {MediaKind::video, 1890}}));
}

TEST(DecodeTimeRepairTest, AStreamThatNeverDatesItsFramesIsNotHeldBackForever) {
    DecodeTimeRepair repair;
    std::size_t released = 0;
    for (int frame = 0; frame < 100; ++frame) {
        repair.push(packet(MediaKind::video, frame * 3000, frame * 3000), false);
        released += drain(repair).size();
    }
    EXPECT_GT(released, 0u);
    repair.finish();
    EXPECT_EQ(released + drain(repair).size(), 100u);
}

UploadResult answer(int status, std::string body = {}) {
    UploadResult result;
    result.ok = status == 201;
    result.http_status = status;
    result.error = std::move(body);
    return result;
}

TEST(DeliveryTallyTest, RetriesAndRepeatedUploadsOfASegmentCountOnce) {
    DeliveryTally tally;
    tally.note_upload(1, 100, answer(503, "busy"));
    EXPECT_EQ(tally.counts().last_failure, "HTTP 503: busy");
    tally.note_upload(1, 100, answer(201));
    tally.note_upload(2, 50, answer(0, "Couldn't connect to server"));
    EXPECT_EQ(tally.counts().last_failure, "Couldn't connect to server");
    tally.note_upload(2, 50, answer(201));
    // A backfill request sends an uploaded segment again.
    tally.note_upload(1, 100, answer(201));

    const DeliveryCounts counts = tally.counts();
    EXPECT_EQ(counts.segments_sent, 2u);
    EXPECT_EQ(counts.segments_uploaded, 2u);
    EXPECT_EQ(counts.bytes_uploaded, 150u);
    EXPECT_EQ(counts.last_failure, "");
    EXPECT_FALSE(counts.refused);
}

TEST(DeliveryTallyTest, RefusalsForGoodAreToldApartFromPassingFailures) {
    const std::string rejected = "API key rejected. Rotate your key in the Ryvo dashboard.";
    for (const auto& [result, refusal] : std::vector<std::pair<UploadResult, std::string>>{
             {answer(401), rejected},
             {answer(400, R"({"error": "unauthorized"})"), rejected},
             {answer(404, R"({"error": "not_found"})"),
              "Ryvo stream not found. Check the stream ID."},
             {answer(403, "forbidden"), "HTTP 403: forbidden"},
             {answer(0, "transient"), ""},
             {answer(408), ""},
             {answer(429), ""},
             {answer(500), ""},
             {answer(503), ""}}) {
        DeliveryTally tally;
        tally.note_upload(1, 10, result);
        EXPECT_EQ(tally.counts().refused, !refusal.empty()) << result.http_status;
        EXPECT_EQ(tally.counts().refusal, refusal) << result.http_status;
    }
}

TEST(StatusJsonTest, CarriesTheSessionStatusOnOneLineWhateverTheErrorSays) {
    ProgressFigures figures;
    figures.segments = figures.uploaded = figures.queue_depth = UINT64_MAX;
    figures.cache_bytes = figures.cache_max_bytes = figures.bytes_muxed = UINT64_MAX;
    figures.media_seconds = 12.5;
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
}

}  // namespace
}  // namespace ryvoobs

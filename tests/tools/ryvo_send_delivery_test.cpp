#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "decode_time_repair.h"
#include "delivery_tally.h"

namespace ryvoobs {
namespace {

TimedPacket packet(MediaKind kind, std::int64_t pts, std::int64_t dts, std::int64_t duration) {
    TimedPacket timed;
    timed.packet.kind = kind;
    timed.packet.pts = pts;
    timed.packet.dts = dts;
    timed.duration = duration;
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
    repair.push(packet(MediaKind::video, 1890, 1890, 3000), false);
    repair.push(packet(MediaKind::audio, 0, 0, 1920), true);
    repair.push(packet(MediaKind::video, 13860, 13860, 3000), false);
    EXPECT_FALSE(repair.pop());
    repair.push(packet(MediaKind::video, 7920, 1890, 3000), true);

    const std::vector<TimedPacket> out = drain(repair);
    ASSERT_EQ(out.size(), 4u);
    // File order is kept; decode times rise one frame at a time up to the known one.
    EXPECT_EQ(out[0].packet.kind, MediaKind::video);
    EXPECT_EQ(out[0].packet.dts, -4110);
    EXPECT_EQ(out[0].packet.pts, 1890);
    EXPECT_EQ(out[1].packet.kind, MediaKind::audio);
    EXPECT_EQ(out[1].packet.dts, 0);
    EXPECT_EQ(out[2].packet.dts, -1110);
    EXPECT_EQ(out[3].packet.dts, 1890);

    // Once dated, packets pass straight through.
    repair.push(packet(MediaKind::video, 4860, 4860, 3000), true);
    ASSERT_TRUE(repair.pop());
}

TEST(DecodeTimeRepairTest, AStreamThatNeverDatesItsFramesIsNotHeldBackForever) {
    DecodeTimeRepair repair;
    std::size_t released = 0;
    for (int frame = 0; frame < 100; ++frame) {
        repair.push(packet(MediaKind::video, frame * 3000, frame * 3000, 3000), false);
        released += drain(repair).size();
    }
    EXPECT_GT(released, 0u);
    repair.finish();
    released += drain(repair).size();
    EXPECT_EQ(released, 100u);
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
    const std::vector<std::pair<UploadResult, std::string>> refusals = {
        {answer(401), "API key rejected. Rotate your key in the Ryvo dashboard."},
        {answer(400, R"({"error": "unauthorized"})"),
         "API key rejected. Rotate your key in the Ryvo dashboard."},
        {answer(404, R"({"error": "not_found"})"), "Ryvo stream not found. Check the stream ID."},
        {answer(403, "forbidden"), "HTTP 403: forbidden"},
    };
    for (const auto& [result, message] : refusals) {
        DeliveryTally tally;
        tally.note_upload(1, 10, result);
        EXPECT_TRUE(tally.counts().refused) << message;
        EXPECT_EQ(tally.counts().refusal, message);
    }
    for (const int status : {0, 408, 429, 500, 503}) {
        DeliveryTally tally;
        tally.note_upload(1, 10, answer(status, "transient"));
        EXPECT_FALSE(tally.counts().refused) << status;
    }
}

}  // namespace
}  // namespace ryvoobs

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "killed_writer.h"
#include "runtime/sequence_checkpoint.h"

namespace ryvoobs {
namespace {

TEST(SequenceCheckpointKill, WriterKilledMidSaveLeavesTheOldOrTheNewCheckpointWhole) {
    testing::MemoryBackedDirectory directory;
    const std::string path = directory.file("Ryvo/obs-plugin-state.json");
    // Long identifiers make a save span more than one write.
    const SequenceCheckpointState base{std::string(4096, 's'), std::string(4096, 'a'), 0};
    ASSERT_TRUE(save_sequence_checkpoint(path, base, nullptr));
    std::mt19937 random(4242);
    for (int round = 0; round < testing::kKillRounds; ++round) {
        const int finished = testing::kill_writer_mid_save(
            [&](int call) {
                SequenceCheckpointState state = base;
                state.last_sequence = call;
                save_sequence_checkpoint(path, state, nullptr);
            },
            random);
        ASSERT_GE(finished, 1) << "round " << round;
        std::string error;
        const auto state = load_sequence_checkpoint(path, &error);
        ASSERT_TRUE(state) << "round " << round << ": " << error;
        EXPECT_EQ(state->stream_id, base.stream_id);
        EXPECT_EQ(state->agent_id, base.agent_id);
        ASSERT_TRUE(state->last_sequence == finished || state->last_sequence == finished + 1)
            << "round " << round << ": " << state->last_sequence << " after " << finished
            << " saves";
    }
}

}  // namespace
}  // namespace ryvoobs

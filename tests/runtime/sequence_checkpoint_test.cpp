#include "runtime/sequence_checkpoint.h"

#include <sys/stat.h>

#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "killed_writer.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using testing::TemporaryDirectory;

TEST(SequenceCheckpoint, LoadsASequenceAndRefusesWhatIsNone) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"stream_id": "s", "last_sequence": "41", "extra": [1]})", ""},
        {R"({"last_sequence": null})", "last_sequence missing"},
        {R"({"last_sequence": 4)", "invalid state JSON"},
    };
    TemporaryDirectory dir;
    const std::string path = dir.file("state.json");
    for (const auto& [text, message] : cases) {
        std::ofstream(path, std::ios::binary) << text;
        std::string error;
        const auto state = load_sequence_checkpoint(path, &error);
        EXPECT_EQ(error, message) << text;
        EXPECT_EQ(state.has_value(), *message == '\0') << text;
        if (state) {
            EXPECT_EQ(state->last_sequence, 41);
            EXPECT_EQ(state->stream_id, "s");
        }
    }
}

TEST(SequenceCheckpoint, SavesOwnerOnlyInNewDirectoriesAndLeavesOutEmptyIdentifiers) {
    TemporaryDirectory dir;
    const std::string path = dir.file("a/b/c/state.json");
    ASSERT_TRUE(save_sequence_checkpoint(path, {"stream-1", "backup", 9'000'000'000LL}, nullptr));
    const auto state = load_sequence_checkpoint(path, nullptr);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->last_sequence, 9'000'000'000LL);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(save_sequence_checkpoint(path, {"", "", 5}, nullptr));
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(nlohmann::json::parse(text.str()), (nlohmann::json{{"last_sequence", 5}}));
    // A stream ID that is no UTF-8 cannot be written as JSON; the old checkpoint stays.
    EXPECT_FALSE(save_sequence_checkpoint(path, {"\xff\xfe", "", 6}, nullptr));
    EXPECT_EQ(load_sequence_checkpoint(path, nullptr)->last_sequence, 5);
}

TEST(SequenceCheckpoint, WriterKilledMidSaveLeavesTheOldOrTheNewCheckpointWhole) {
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

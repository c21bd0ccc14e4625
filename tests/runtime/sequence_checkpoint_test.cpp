#include "runtime/sequence_checkpoint.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using testing::TemporaryDirectory;

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct LoadCase {
    const char* file_text;
    std::optional<std::int64_t> sequence;  // nothing: the load fails with `error`
    const char* error;
    const char* stream_id = "";
};

TEST(SequenceCheckpointLoad, ReadsLooselyTypedSequencesAndRefusesWhatIsNoSequence) {
    const LoadCase cases[] = {
        {R"({"last_sequence": 41})", 41, ""},
        {R"({"last_sequence": "57"})", 57, ""},
        {R"({"last_sequence": " -3"})", -3, ""},
        {R"({"last_sequence": "none"})", 0, ""},
        {R"({"last_sequence": 12.9})", 12, ""},
        {R"({"last_sequence": true})", 1, ""},
        {R"({"stream_id": "s", "last_sequence": 8, "extra": [1]})", 8, "", "s"},
        {R"({"last_sequence": null})", std::nullopt, "last_sequence missing"},
        {R"({"stream_id": "s"})", std::nullopt, "last_sequence missing"},
        {"[]", std::nullopt, "invalid state JSON"},
        {R"({"last_sequence": 4)", std::nullopt, "invalid state JSON"},
    };
    TemporaryDirectory dir;
    const std::string path = dir.file("state.json");
    for (const LoadCase& c : cases) {
        write_text(path, c.file_text);
        std::string error = "untouched";
        const auto state = load_sequence_checkpoint(path, &error);
        if (c.sequence) {
            ASSERT_TRUE(state) << c.file_text << ": " << error;
            EXPECT_EQ(state->last_sequence, *c.sequence) << c.file_text;
            EXPECT_EQ(state->stream_id, c.stream_id) << c.file_text;
            EXPECT_EQ(error, "untouched") << c.file_text;
        } else {
            EXPECT_FALSE(state) << c.file_text;
            EXPECT_EQ(error, c.error) << c.file_text;
        }
    }
}

TEST(SequenceCheckpointLoad, MissingFileNamesThePathAndGivesZero) {
    TemporaryDirectory dir;
    const std::string path = dir.file("absent.json");
    std::string error;
    EXPECT_EQ(load_last_sequence(path, &error), 0);
    EXPECT_EQ(error, "state file not found: " + path);
    EXPECT_EQ(load_last_sequence(dir.path(), nullptr), 0);
}

TEST(SequenceCheckpointSave, RoundTripsOwnerOnlyInNewDirectoriesAndLeavesOutEmptyIdentifiers) {
    TemporaryDirectory dir;
    const std::string path = dir.file("a/b/c/state.json");
    ASSERT_TRUE(save_sequence_checkpoint(path, {"stream-1", "backup", 9'000'000'000LL}, nullptr));
    const auto state = load_sequence_checkpoint(path, nullptr);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->stream_id, "stream-1");
    EXPECT_EQ(state->agent_id, "backup");
    EXPECT_EQ(state->last_sequence, 9'000'000'000LL);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(save_last_sequence(path, 5, nullptr));
    EXPECT_EQ(nlohmann::json::parse(read_text(path)), (nlohmann::json{{"last_sequence", 5}}));
}

TEST(SequenceCheckpointSave, ReportsWhatCouldNotBeDone) {
    TemporaryDirectory dir;
    write_text(dir.file("plain-file"), "x");
    std::string error;
    EXPECT_FALSE(save_last_sequence(dir.file("plain-file/state.json"), 1, &error));
    EXPECT_EQ(error, "failed to create state directory");

    ASSERT_EQ(mkdir(dir.file("occupied").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("occupied/state.json").c_str(), 0700), 0);
    write_text(dir.file("occupied/state.json/keep"), "x");
    EXPECT_FALSE(save_last_sequence(dir.file("occupied/state.json"), 1, &error));
    EXPECT_EQ(error, "failed to write state file");

    EXPECT_FALSE(save_sequence_checkpoint(dir.file("s.json"), {"\xff\xfe", "", 1}, &error));
    EXPECT_EQ(error, "failed to encode state JSON");
}

}  // namespace
}  // namespace ryvoobs

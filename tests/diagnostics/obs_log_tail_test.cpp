#include "diagnostics/obs_log_tail.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using std::chrono::system_clock;

void write_log(const testing::TemporaryDirectory& dir, const std::string& name,
               const std::string& text, std::chrono::seconds age) {
    std::ofstream(dir.file(name), std::ios::binary) << text;
    std::filesystem::last_write_time(dir.file(name),
                                     std::filesystem::file_time_type::clock::now() - age);
}

std::string numbered_lines(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    return text;
}

TEST(ObsLogTail, KeepsTheLastTwoHundredLinesOfTheNewestTextLog) {
    testing::TemporaryDirectory logs;
    EXPECT_EQ(read_obs_log_tail(logs.file("missing")), "");

    write_log(logs, "2026-01-01 10-00-00.txt", "old\n", std::chrono::hours(2));
    write_log(logs, "2026-01-02 10-00-00.txt", numbered_lines(1, 1000), std::chrono::hours(1));
    // Newer, but not an OBS log.
    write_log(logs, "crash.log", "crash\n", std::chrono::seconds(0));
    std::filesystem::create_directory(logs.file("newer.txt.d"));
    EXPECT_EQ(read_obs_log_tail(logs.path()), numbered_lines(801, 1000));
}

TEST(ObsLogTail, CutsAfterTheTwoHundredthLineFeedFromTheEnd) {
    EXPECT_EQ(last_lines(numbered_lines(1, 300) + "partial", 200),
              numbered_lines(102, 300) + "partial");
    EXPECT_EQ(last_lines("\n\n\n", 2), "\n\n");
}

TEST(ObsLogTail, NewestFileIsTheFirstListedOfEquallyNewOnes) {
    const system_clock::time_point t = system_clock::now();
    EXPECT_EQ(newest_log_file_name({{"b.txt", t},
                                    {"unreadable.txt", std::nullopt},
                                    {"a.txt", t},
                                    {"newest.log", t + std::chrono::hours(1)},
                                    {"older.txt", t - std::chrono::seconds(1)}}),
              "b.txt");
    EXPECT_EQ(newest_log_file_name({{"x.log", t}, {"y.txt", std::nullopt}}), std::nullopt);
}

}  // namespace
}  // namespace ryvoobs

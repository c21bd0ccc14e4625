#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "isolated_home.h"
#include "killed_writer.h"
#include "scoped_umask.h"

namespace ryvoobs {
namespace {

// Each large enough to take more than one write, small enough for hundreds of rounds.
PluginConfig numbered(int call) {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-" + std::to_string(call);
    config.api_key = "key-" + std::to_string(call);
    config.previous_service_settings_json = std::string(16 * 1024, call % 2 == 0 ? 'a' : 'b');
    return config;
}

// Every entry of the directory that group or others could read, seen at one instant.
int entries_open_to_others(const std::string& directory) {
    int found = 0;
    DIR* dir = opendir(directory.c_str());
    while (dirent* entry = readdir(dir)) {
        struct stat info {};
        std::string name = entry->d_name;
        if (name != "." && name != ".." &&
            fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            (info.st_mode & 077) != 0) {
            ++found;
        }
    }
    closedir(dir);
    return found;
}

class ConfigFileConcurrencyTest : public ::testing::Test {
  protected:
    testing::IsolatedHome home_;
    std::string directory_ = home_.file("Ryvo");
    std::string path_ = directory_ + "/obs-plugin.json";
};

TEST_F(ConfigFileConcurrencyTest, WatcherSeesOnlyWholePrivateVersionsWhileSaving) {
    // With no umask at all, only the writer itself can keep the file private.
    const testing::ScopedUmask open_umask(0);
    ASSERT_TRUE(save_config_file(path_, numbered(1), nullptr));
    std::atomic<bool> saving{true};
    std::atomic<int> exposed{0};
    std::atomic<int> partial{0};
    std::thread watcher([&] {
        while (saving.load()) {
            exposed += entries_open_to_others(directory_);
            const auto seen = read_config_file(path_, nullptr);
            partial += seen == numbered(1) || seen == numbered(2) ? 0 : 1;
        }
    });
    int failed_saves = 0;
    for (int i = 0; i < 100; ++i) {
        failed_saves += save_config_file(path_, numbered(2 - i % 2), nullptr) ? 0 : 1;
    }
    saving = false;
    watcher.join();
    EXPECT_EQ(failed_saves, 0);
    EXPECT_EQ(exposed.load(), 0);
    EXPECT_EQ(partial.load(), 0);
}

TEST_F(ConfigFileConcurrencyTest, WriterKilledMidSaveLeavesTheOldOrTheNewFilePrivateAndWhole) {
    const testing::MemoryBackedDirectory memory;
    const std::string directory = memory.file("Ryvo");
    const std::string path = directory + "/obs-plugin.json";
    ASSERT_TRUE(save_config_file(path, numbered(0), nullptr));
    std::mt19937 random(12345);
    for (int round = 0; round < testing::kKillRounds; ++round) {
        const int finished = testing::kill_writer_mid_save(
            [&](int call) { save_config_file(path, numbered(call), nullptr); }, random);
        ASSERT_GE(finished, 1) << "round " << round;
        std::string error;
        const auto config = read_config_file(path, &error);
        ASSERT_TRUE(config == numbered(finished) || config == numbered(finished + 1))
            << "round " << round << " after " << finished << " saves: " << error;
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        ASSERT_EQ(info.st_mode & 0777, 0600u) << "round " << round;
        // Temporary files a killed writer left behind are as private as the file itself.
        ASSERT_EQ(entries_open_to_others(directory), 0) << "round " << round;
    }
}

}  // namespace
}  // namespace ryvoobs

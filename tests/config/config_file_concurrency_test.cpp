#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "isolated_home.h"

namespace ryvoobs {
namespace {

// Two configurations that differ throughout and are large enough that writing one takes several
// system calls' worth of time.
PluginConfig variant(char fill) {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = std::string(64, fill);
    config.api_key = std::string(64, fill);
    config.previous_service_settings_json = std::string(64 * 1024, fill);
    return config;
}

bool is_one_of_the_variants(const std::optional<PluginConfig>& config) {
    return config && (*config == variant('a') || *config == variant('b'));
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

TEST_F(ConfigFileConcurrencyTest, NoFileOpenToOthersEverAppearsWhileSaving) {
    // With no umask at all, only the writer itself can keep the file private.
    mode_t saved_umask = umask(0);
    ASSERT_TRUE(save_config_file(path_, variant('a'), nullptr));
    std::atomic<bool> saving{true};
    std::atomic<int> polls{0};
    std::atomic<int> exposed{0};
    std::thread watcher([&] {
        while (saving.load()) {
            exposed += entries_open_to_others(directory_);
            ++polls;
        }
    });
    int failed_saves = 0;
    for (int i = 0; i < 100; ++i) {
        failed_saves += save_config_file(path_, variant(i % 2 == 0 ? 'b' : 'a'), nullptr) ? 0 : 1;
    }
    saving = false;
    watcher.join();
    umask(saved_umask);
    EXPECT_EQ(failed_saves, 0);
    EXPECT_GT(polls.load(), 0);
    EXPECT_EQ(exposed.load(), 0);
}

TEST_F(ConfigFileConcurrencyTest, ReaderNeverSeesAPartialFile) {
    ASSERT_TRUE(save_config_file(path_, variant('a'), nullptr));
    std::atomic<bool> saving{true};
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i) {
            save_config_file(path_, variant(i % 2 == 0 ? 'b' : 'a'), nullptr);
        }
        saving = false;
    });
    int reads = 0;
    int bad = 0;
    while (saving.load()) {
        std::string error;
        bad += is_one_of_the_variants(read_config_file(path_, &error)) ? 0 : 1;
        ++reads;
    }
    writer.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(bad, 0);
}

TEST_F(ConfigFileConcurrencyTest, WriterKilledMidSaveLeavesTheOldOrTheNewFileWhole) {
    ASSERT_TRUE(save_config_file(path_, variant('a'), nullptr));
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delay_us(0, 20000);
    for (int round = 0; round < 40; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (int i = 0;; ++i) {
                save_config_file(path_, variant(i % 2 == 0 ? 'b' : 'a'), nullptr);
            }
        }
        usleep(static_cast<useconds_t>(delay_us(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        std::string error;
        ASSERT_TRUE(is_one_of_the_variants(read_config_file(path_, &error)))
            << "round " << round << ": " << error;
    }
}

}  // namespace
}  // namespace ryvoobs

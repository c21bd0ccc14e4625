#include "platform/file_system.h"

#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "isolated_home.h"
#include "platform/batch_scheduling.h"
#include "platform/paths.h"
#include "scoped_umask.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

unsigned permissions_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFFu;
}

std::size_t entries_in(const std::string& directory) {
    auto range = std::filesystem::directory_iterator(directory);
    return static_cast<std::size_t>(std::distance(begin(range), end(range)));
}

TEST(WriteFileAtomically, NewContentCarriesExactlyTheRequestedModeWhateverTheUmask) {
    testing::TemporaryDirectory dir;
    std::string path = dir.file("data.json");
    ASSERT_TRUE(write_file_atomically(path, "old", 0644, nullptr));
    for (auto [mask, mode] : {std::pair<mode_t, unsigned>{0, 0600}, {0, 0640}, {077, 0644}}) {
        testing::ScopedUmask umask(mask);
        std::string content = "content for mode " + std::to_string(mode);
        ASSERT_TRUE(write_file_atomically(path, content, mode, nullptr));
        EXPECT_EQ(permissions_of(path), mode);
        EXPECT_EQ(read_whole_file(path, nullptr), content);
    }
    EXPECT_EQ(entries_in(dir.path()), 1u) << "no temporary file may be left behind";
}

TEST(ReadWholeFile, ReadsBinaryContentBeyondOneBufferAndRefusesADirectory) {
    testing::TemporaryDirectory dir;
    std::string content(200000, 'x');
    content[7] = '\0';
    ASSERT_TRUE(write_file_atomically(dir.file("big"), content, 0600, nullptr));
    EXPECT_EQ(read_whole_file(dir.file("big"), nullptr), content);
    std::string error;
    EXPECT_FALSE(read_whole_file(dir.path(), &error));
    EXPECT_EQ(error, "Is a directory");
}

TEST(Paths, ApplicationSupportRootFollowsTheXdgRules) {
    testing::IsolatedHome home;
    EXPECT_EQ(home_directory(), home.path());
    EXPECT_EQ(application_support_root(), home.file(".config"));
    setenv("XDG_CONFIG_HOME", "/elsewhere/config", 1);
    EXPECT_EQ(application_support_root(), "/elsewhere/config");
    for (const char* ignored : {"relative/config", ""}) {
        setenv("XDG_CONFIG_HOME", ignored, 1);
        EXPECT_EQ(application_support_root(), home.path() + "/.config") << ignored;
    }
    // Without a usable HOME the password database names the home directory.
    setenv("HOME", "relative", 1);
    EXPECT_EQ(home_directory(), getpwuid(getuid())->pw_dir);
}

// The worker alone changes class: the encoder threads of the same process must keep theirs.
TEST(BatchScheduling, ChangesTheCallingThreadOnly) {
    const int before = sched_getscheduler(0);
    int worker_policy = -1;
    std::thread worker([&worker_policy] {
        ASSERT_TRUE(use_batch_scheduling_for_this_thread());
        worker_policy = sched_getscheduler(0);
    });
    worker.join();
    EXPECT_EQ(worker_policy, SCHED_BATCH);
    EXPECT_EQ(sched_getscheduler(0), before);
}

}  // namespace
}  // namespace ryvoobs

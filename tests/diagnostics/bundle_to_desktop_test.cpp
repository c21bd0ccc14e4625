#include "diagnostics/bundle_to_desktop.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "isolated_home.h"
#include "platform/desktop_directory.h"
#include "platform/file_system.h"

namespace ryvoobs {
namespace {

TEST(DesktopDirectory, FollowsUserDirsWhenItNamesAUsablePath) {
    testing::IsolatedHome home;
    EXPECT_EQ(desktop_directory(), home.file("Desktop"));
    std::filesystem::create_directories(home.file(".config"));
    const auto user_dirs = [&](const std::string& text) {
        std::ofstream(home.file(".config/user-dirs.dirs")) << text;
        return desktop_directory();
    };
    EXPECT_EQ(user_dirs("# XDG_DESKTOP_DIR=\"/nope\"\nXDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n"),
              home.file("Schreib tisch"));
    EXPECT_EQ(user_dirs("XDG_DESKTOP_DIR=\"/srv/desk\\\"top\"\n"), "/srv/desk\"top");
    for (const char* unusable :
         {"XDG_DESKTOP_DIR=\"relative/desk\"\n", "XDG_DESKTOP_DIR=\"$HOMEWORK/desk\"\n",
          "XDG_DESKTOP_DIR=\"/unterminated\n"}) {
        EXPECT_EQ(user_dirs(unusable), home.file("Desktop")) << unusable;
    }
}

TEST(WriteBundleToDesktop, WritesAnOwnerOnlyFileIntoTheDesktopOrSaysWhyNot) {
    testing::IsolatedHome home;
    std::string path;
    std::string error;
    ASSERT_TRUE(write_bundle_to_desktop("bundle \u2014 text\n", &path, &error));
    const std::string name = std::filesystem::path(path).filename();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), home.file("Desktop"));
    EXPECT_TRUE(name.starts_with("ryvo-diagnostics-") && name.ends_with(".txt")) << name;
    EXPECT_EQ(read_whole_file(path, nullptr), "bundle \u2014 text\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    std::filesystem::remove_all(home.file("Desktop"));
    std::ofstream(home.file("Desktop")) << "a file where the Desktop should be";
    EXPECT_FALSE(write_bundle_to_desktop("bundle", &path, &error));
    EXPECT_EQ(error, "Could not write diagnostic bundle: Not a directory");
}

}  // namespace
}  // namespace ryvoobs

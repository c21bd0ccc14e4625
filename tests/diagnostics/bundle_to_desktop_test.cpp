#include "diagnostics/bundle_to_desktop.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "isolated_home.h"
#include "platform/desktop_directory.h"
#include "platform/file_system.h"
#include "scoped_umask.h"

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
    EXPECT_EQ(user_dirs("# XDG_DESKTOP_DIR=\"/nope\"\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                        "XDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n"),
              home.file("Schreib tisch"));
    EXPECT_EQ(user_dirs("XDG_DESKTOP_DIR=\"/srv/desk\\\"top\"\n"), "/srv/desk\"top");
    EXPECT_EQ(user_dirs("XDG_DESKTOP_DIR=\"$HOME\"\n"), home.path());
    for (const char* unusable :
         {"XDG_DESKTOP_DIR=\"relative/desk\"\n", "XDG_DESKTOP_DIR=\"$HOMEWORK/desk\"\n",
          "XDG_DESKTOP_DIR=\"/unterminated\n", "XDG_DESKTOP_DIR=/bare\n"}) {
        EXPECT_EQ(user_dirs(unusable), home.file("Desktop")) << unusable;
    }
}

TEST(WriteBundleToDesktop, WritesAnOwnerOnlyFileIntoTheDesktopCreatedIfMissing) {
    testing::IsolatedHome home;
    // With no mask at all, only the file's own creation mode keeps others out.
    testing::ScopedUmask open_umask(0);
    std::string path;
    std::string error = "untouched";
    ASSERT_TRUE(write_bundle_to_desktop("bundle \u2014 text\n", &path, &error));
    EXPECT_EQ(error, "untouched");
    const std::string name = std::filesystem::path(path).filename();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), home.file("Desktop"));
    EXPECT_TRUE(name.starts_with("ryvo-diagnostics-") && name.ends_with(".txt")) << name;
    EXPECT_EQ(name.size(), std::string("ryvo-diagnostics-20260102-030405.txt").size());
    EXPECT_EQ(read_whole_file(path, nullptr), "bundle \u2014 text\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Nothing but the bundle: no temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.file("Desktop")),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_TRUE(write_bundle_to_desktop("again", nullptr, nullptr));
}

TEST(WriteBundleToDesktop, ReportsWhyTheFileIsMissing) {
    testing::IsolatedHome home;
    std::ofstream(home.file("Desktop")) << "a file where the Desktop should be";
    std::string path = "untouched";
    std::string error;
    EXPECT_FALSE(write_bundle_to_desktop("bundle", &path, &error));
    EXPECT_EQ(error, "Could not write diagnostic bundle: Not a directory");
    EXPECT_EQ(path, "untouched");
}

}  // namespace
}  // namespace ryvoobs

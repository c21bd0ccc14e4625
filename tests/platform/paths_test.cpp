#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "isolated_home.h"

namespace ryvoobs {
namespace {

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

}  // namespace
}  // namespace ryvoobs

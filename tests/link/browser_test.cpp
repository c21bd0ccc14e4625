#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/plugin_link_client.h"
#include "scoped_env.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

// xdg-open is looked up on PATH, so a folder holding a stand-in script is where the opener can
// be replaced; the stand-in records the arguments it was given, one per line.
TEST(BrowserTest, OnlyWebPagesReachTheOpenerEachAsOneArgumentAndItsFailureIsReported) {
    const testing::TemporaryDirectory folder;
    const testing::ScopedEnv path("PATH", folder.path());
    const std::string record = folder.file("argv.txt");
    const auto install_opener = [&](int exit_code) {
        std::ofstream(folder.file("xdg-open"))
            << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << record
            << "'\nexit " << exit_code << "\n";
        chmod(folder.file("xdg-open").c_str(), 0755);
    };
    const std::string url = "https://portal.example/link?code=AB;touch%20x&next=$(id)|y";
    std::string error;
    EXPECT_FALSE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "failed to open Ryvo Portal in the default browser");
    install_opener(1);
    error.clear();
    EXPECT_FALSE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "failed to open Ryvo Portal in the default browser");

    install_opener(0);
    std::filesystem::remove(record);
    for (const char* bad :
         {"", "not a url", "file:///etc/passwd", "javascript:alert(1)", "--help"}) {
        EXPECT_FALSE(open_url_in_browser(bad, &error)) << bad;
        EXPECT_EQ(error, "invalid portal URL") << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_TRUE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "invalid portal URL");  // untouched on success
    std::ostringstream recorded;
    recorded << std::ifstream(record).rdbuf();
    EXPECT_EQ(recorded.str(), url + "\n");
}

}  // namespace
}  // namespace ryvoobs

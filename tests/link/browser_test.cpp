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

constexpr const char* kFailure = "failed to open Ryvo Portal in the default browser";

// xdg-open is looked up on PATH, so a folder holding a stand-in script is where the opener can
// be replaced; the stand-in records the arguments it was given, one per line.
class BrowserTest : public ::testing::Test {
  protected:
    void install_opener(int exit_code) {
        const std::string script = folder_.file("xdg-open");
        std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                              << record_ << "'\nexit " << exit_code << "\n";
        chmod(script.c_str(), 0755);
    }

    std::string recorded() const {
        std::ifstream in(record_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    testing::TemporaryDirectory folder_;
    std::string record_ = folder_.file("argv.txt");
    testing::ScopedEnv path_{"PATH", folder_.path()};
};

TEST_F(BrowserTest, OnlyWebPagesReachTheOpenerEachAsOneArgument) {
    install_opener(0);
    std::string error;
    for (const char* url :
         {"", "not a url", "file:///etc/passwd", "javascript:alert(1)", "--help"}) {
        EXPECT_FALSE(open_url_in_browser(url, &error)) << url;
        EXPECT_EQ(error, "invalid portal URL") << url;
    }
    EXPECT_FALSE(std::filesystem::exists(record_));

    const std::string url = "https://portal.example/link?code=AB;touch%20x&next=$(id)|y";
    EXPECT_TRUE(open_url_in_browser(url, &error));
    EXPECT_EQ(error, "invalid portal URL");  // untouched on success
    EXPECT_EQ(recorded(), url + "\n");
}

TEST_F(BrowserTest, AMissingOrFailingOpenerIsReported) {
    std::string error;
    EXPECT_FALSE(open_url_in_browser("https://portal.example/link", &error));
    EXPECT_EQ(error, kFailure);
    install_opener(1);
    error.clear();
    EXPECT_FALSE(open_url_in_browser("https://portal.example/link", &error));
    EXPECT_EQ(error, kFailure);
}

}  // namespace
}  // namespace ryvoobs

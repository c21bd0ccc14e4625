// The module's text lookup, driven by real libobs loading the built module with its locale data.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <obs.h>

namespace {

constexpr const char* kModulePath = RYVO_BINARY_DIR "/ryvo-obs.so";
constexpr const char* kDataPath = RYVO_SOURCE_DIR "/data";

using TextFn = const char* (*)(const char*);
using GetStringFn = bool (*)(const char*, const char**);

class ModuleLocaleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Freed memory gets overwritten, so that a lookup kept past its destruction shows up as
        // wrong texts instead of reading stale but intact data.
        mallopt(M_PERTURB, 0xa5);
        handle_ = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        text_ = reinterpret_cast<TextFn>(dlsym(handle_, "obs_module_text"));
        get_string_ = reinterpret_cast<GetStringFn>(dlsym(handle_, "obs_module_get_string"));
        ASSERT_NE(text_, nullptr);
        ASSERT_NE(get_string_, nullptr);
    }

    void TearDown() override {
        if (obs_initialized()) {
            obs_shutdown();
        }
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }

    // libobs opens the module the way OBS does at start-up, which hands it the module pointer
    // and the locale.
    void open_in_obs(const char* locale) {
        ASSERT_TRUE(obs_startup(locale, nullptr, nullptr));
        obs_module_t* module = nullptr;
        ASSERT_EQ(obs_open_module(&module, kModulePath, kDataPath), MODULE_SUCCESS);
    }

    void* handle_ = nullptr;
    TextFn text_ = nullptr;
    GetStringFn get_string_ = nullptr;
};

// A locale without a file of its own reads the default texts; once libobs has freed the module's
// locale, every key reads as itself. The module itself stays mapped through this test's handle.
TEST_F(ModuleLocaleTest, LookupsFollowTheLocaleAndStaySafeOnceItIsFreed) {
    open_in_obs("de-DE");
    EXPECT_STREQ(text_("RyvoObs.ServiceName"), "Ryvo Delayed Stream");
    EXPECT_STREQ(text_("RyvoObs.OutputName"), "Ryvo Delayed Stream Output");
    EXPECT_STREQ(text_("RyvoObs.NoSuchKey"), "RyvoObs.NoSuchKey");
    const char* out = nullptr;
    EXPECT_TRUE(get_string_("RyvoObs.StatusTitle", &out));
    EXPECT_STREQ(out, "Ryvo Stream Status");
    obs_set_locale("fr-FR");
    EXPECT_STREQ(text_("RyvoObs.ServiceName"), "Ryvo Delayed Stream");

    obs_shutdown();
    EXPECT_STREQ(text_("RyvoObs.ServiceName"), "RyvoObs.ServiceName");
    out = "untouched";
    EXPECT_FALSE(get_string_("RyvoObs.ServiceName", &out));
    EXPECT_STREQ(out, "untouched");
}

}  // namespace
